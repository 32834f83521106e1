#include "storage/StoreInternal.h"

namespace gravelin::storage::detail {

std::unique_ptr<Store> openPostgresStore(const std::string&) {
    throw StorageError("PostgreSQL: not built yet");
}

}  // namespace gravelin::storage::detail
