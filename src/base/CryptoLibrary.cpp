#include "base/CryptoLibrary.h"

#include <gcrypt.h>

namespace {

struct Start {
  bool ok = false;
  std::string problem;
  Start() {
    // Another part of the process may have started the library already.
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      ok = gcry_check_version(GCRYPT_VERSION) != nullptr;
    } else {
      ok = gcry_check_version(GCRYPT_VERSION) != nullptr;
      if (ok) {
        // The signing key is read from a file in the clear anyway; locked memory
        // would need privileges a station does not have.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
      }
    }
    if (!ok) {
      const char* have = gcry_check_version(nullptr);
      problem = std::string("libgcrypt ") + (have ? have : "?") + " is older than " +
                GCRYPT_VERSION + ", which this program was built with";
    }
  }
};

const Start& Started() {
  static const Start s;
  return s;
}

}  // namespace

bool CryptoLibraryReady() {
  return Started().ok;
}

std::string CryptoLibraryProblem() {
  return Started().problem;
}
