// One stored scan's own fields as JSON, written once for the scan's JSON download and the
// API's scans: the names programs read in both. Json is nlohmann::json (keys sorted, as the
// download has them) or nlohmann::ordered_json (in this order, as the API has them).
#pragma once

#include <nlohmann/json.hpp>

#include "receiver/http/Time.h"
#include "receiver/storage/Store.h"

namespace gravelin::console::detail {

template <class Json>
Json scanFieldsJson(const storage::ScanRow& r) {
    return {{"id", r.id},
            {"machineId", r.machineId},
            {"receivedAt", server::isoTime(r.receivedAtMs)},
            {"receivedAtMs", r.receivedAtMs},
            {"remoteAddress", r.remoteAddress},
            {"receipt", r.receipt},
            {"encoding", r.encoding},
            {"identityKey", r.identityKey},
            {"identityRule", r.identityRule},
            {"osDescription", r.osDescription},
            {"programName", r.programName},
            {"programVersion", r.programVersion},
            {"errors", r.errors},
            {"storedBytes", r.storedBytes}};
}

}  // namespace gravelin::console::detail
