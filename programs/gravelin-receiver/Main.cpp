// gravelin-receiver: receives, verifies and stores the scanner's reports.
#include "programs/gravelin-receiver/Receiver.h"

int main(int argc, char** argv) {
    return gravelin::server::runReceiver(argc, argv);
}
