#include "crypto/CSshCipher.h"

#include "crypto/CBlowfishCbcCipher.h"
#include "crypto/CCast128CbcCipher.h"
#include "crypto/CDesCbcCipher.h"
#include "crypto/CNoneCipher.h"
#include "crypto/CRijndaelCbcCipher.h"
#include "crypto/CTripleDesCbcCipher.h"

namespace velunor {
namespace {

enum class CipherFamily { Rijndael, TripleDes, Blowfish, Cast128, Des, None };

struct CipherName {
    const char* sshName;
    CipherFamily family;
    int keyLength;
};

// The object keeps a pointer to its name, so names come from this table and outlive it.
constexpr CipherName kCipherNames[] = {
    {"aes128-cbc", CipherFamily::Rijndael, 16},
    {"rijndael128-cbc", CipherFamily::Rijndael, 16},
    {"aes192-cbc", CipherFamily::Rijndael, 24},
    {"rijndael192-cbc", CipherFamily::Rijndael, 24},
    {"aes256-cbc", CipherFamily::Rijndael, 32},
    {"rijndael256-cbc", CipherFamily::Rijndael, 32},
    {"rijndael-cbc@lysator.liu.se", CipherFamily::Rijndael, 32},
    {"3des-cbc", CipherFamily::TripleDes, 24},
    {"blowfish-cbc", CipherFamily::Blowfish, 16},
    {"cast128-cbc", CipherFamily::Cast128, 16},
    {"des-cbc", CipherFamily::Des, 8},
    {"des-cbc@ssh.com", CipherFamily::Des, 8},
    {"none", CipherFamily::None, 0},
};

}  // namespace

std::unique_ptr<CSshCipher> CSshCipher::Create(std::string_view sshName) {
    for (const CipherName& entry : kCipherNames) {
        if (sshName != entry.sshName) continue;
        switch (entry.family) {
            case CipherFamily::Rijndael:
                return std::make_unique<CRijndaelCbcCipher>(entry.sshName, entry.keyLength);
            case CipherFamily::TripleDes: return std::make_unique<CTripleDesCbcCipher>();
            case CipherFamily::Blowfish: return std::make_unique<CBlowfishCbcCipher>();
            case CipherFamily::Cast128: return std::make_unique<CCast128CbcCipher>();
            case CipherFamily::Des: return std::make_unique<CDesCbcCipher>();
            case CipherFamily::None: return std::make_unique<CNoneCipher>();
        }
    }
    return nullptr;
}

}  // namespace velunor
