#pragma once

// Every file of the cryptography layer includes BoringSSL through this header: the guard makes
// sure the headers found are BoringSSL's (/usr/include/android) and never the system OpenSSL's.
#include <openssl/is_boringssl.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/mem.h>
#include <openssl/rand.h>

#ifndef OPENSSL_IS_BORINGSSL
#error "The cryptography layer must be built against BoringSSL"
#endif

#include <string>

namespace blinders {

// The oldest queued BoringSSL error of this thread, formatted with ERR_error_string_n into a
// 256-byte buffer. The queue is emptied, so that errors of this failure never show up in the
// report of a later one.
std::string OpenSSLErrorString();

}  // namespace blinders
