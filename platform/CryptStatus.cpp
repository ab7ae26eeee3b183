#include "platform/CryptStatus.h"

#include <openssl/err.h>

// OpenSSL keeps its errors per thread; one left behind here would be read later as a TLS failure of the same
// thread, so every failure path empties the queue.
CryptStatus ClearedFailure(CryptStatus status) {
    ERR_clear_error();
    return status;
}
