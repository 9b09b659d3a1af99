#include "link/secret_store.h"

namespace lantern {

SecretStore& SecretStore::shared() {
    static SecretStore store;
    return store;
}

SecretStore::SecretStore() : pool_(new QThreadPool) {
    // Never deleted: deleting waits for a job still running, and a keychain
    // call that hangs must not hold up the process's exit.
    pool_->setMaxThreadCount(1);
}

} // namespace lantern
