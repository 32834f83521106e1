// gravelin-receiver's commands: serve, import, scans, machines, user add.
#pragma once

namespace gravelin::server {

// Runs the command line; returns the process exit code (0 done, 1 failed, 2 bad arguments).
int runReceiver(int argc, char** argv);

}  // namespace gravelin::server
