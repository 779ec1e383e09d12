// Algorithm negotiation, the group 1 Diffie-Hellman exchange and the switch to new keys.
#include <openssl/bn.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "crypto/CSshCipher.h"
#include "crypto/CSshMac.h"
#include "crypto/KeyFingerprint.h"
#include "crypto_dh/KeyDerivation.h"
#include "ssh/CSshSession.h"
#include "ssh/RandomValue.h"

namespace velunor {

namespace {

constexpr char kKexName[] = "diffie-hellman-group1-sha1";
constexpr char kRijndaelAlias[] = "rijndael-cbc@lysator.liu.se";
constexpr char kDesAlias[] = "des-cbc@ssh.com";
constexpr uint32_t kCookieLength = 16;
constexpr uint32_t kDerivedLength = 40;

const char* CipherListFor(int32_t cipherType) {
    switch (cipherType) {
        case 1: return nullptr;  // refused before the engine runs
        case 2: return "3des-cbc";
        case 3:
            return "aes192-cbc,aes128-cbc,aes256-cbc,rijndael128-cbc,rijndael192-cbc,rijndael256-cbc,"
                   "rijndael-cbc@lysator.liu.se";
        case 4: return "blowfish-cbc";
        case 5: return "aes128-cbc,rijndael128-cbc";
        case 6: return "aes192-cbc,rijndael192-cbc";
        case 7: return "aes256-cbc,rijndael256-cbc,rijndael-cbc@lysator.liu.se";
        case 8: return "cast128-cbc";
        default:
            return "aes192-cbc,3des-cbc,blowfish-cbc,aes128-cbc,aes256-cbc,rijndael128-cbc,rijndael192-cbc,"
                   "rijndael256-cbc,rijndael-cbc@lysator.liu.se,des-cbc,des-cbc@ssh.com";
    }
}

struct CipherChoice {
    const char* name;
    std::initializer_list<int32_t> types;  // CipherType values that allow it; empty: any
};

// The client's own order of preference, whatever order the server lists them in.
const CipherChoice kCipherOrder[] = {
    {"aes192-cbc", {0, 3, 6}},       {"3des-cbc", {0, 2}},           {"blowfish-cbc", {0, 4}},
    {"aes128-cbc", {0, 3, 5}},       {"aes256-cbc", {0, 3, 7}},      {"rijndael128-cbc", {0, 3, 5}},
    {"rijndael192-cbc", {0, 3, 6}},  {"rijndael256-cbc", {0, 3, 7}}, {kRijndaelAlias, {0, 3, 7}},
    {"des-cbc", {0, 1}},             {kDesAlias, {0, 1}},            {"cast128-cbc", {0, 8}},
    {"none", {}},
};

bool Allowed(const CipherChoice& choice, int32_t cipherType) {
    if (choice.types.size() == 0) return true;
    for (int32_t t : choice.types)
        if (t == cipherType) return true;
    // Values outside the table behave as "any".
    return (cipherType < 0 || cipherType > 8) && *choice.types.begin() == 0;
}

struct BnFree {
    void operator()(BIGNUM* n) const { BN_clear_free(n); }
};

}  // namespace

bool CSshSession::ChooseCipher(CWireReader& in, bool transmit) {
    std::string_view offered = in.Text();
    if (!in.Ok()) return false;
    if (transmit)
        transport->SetPendingTxCipher(nullptr);
    else
        transport->SetPendingRxCipher(nullptr);
    int32_t cipherType = client->CipherType;
    for (const auto& choice : kCipherOrder) {
        if (!NameListOffers(offered, choice.name) || !Allowed(choice, cipherType)) continue;
        auto cipher = CSshCipher::Create(choice.name);
        if (!cipher) return false;
        if (transmit)
            transport->SetPendingTxCipher(std::move(cipher));
        else
            transport->SetPendingRxCipher(std::move(cipher));
        return true;
    }
    return false;
}

int32_t CSshSession::NegotiateAlgorithms(CWireReader& in) {
    in.Take(kCookieLength);
    std::string_view kex = in.Text();
    if (!in.Ok() || kex.find(kKexName) == std::string_view::npos) return 0;
    std::string_view hostKeys = in.Text();
    if (!in.Ok()) return 0;
    hostKey.reset();
    if (NameListOffers(hostKeys, "ssh-rsa"))
        hostKey = CSshKey::Create("ssh-rsa");
    else if (NameListOffers(hostKeys, "ssh-dss"))
        hostKey = CSshKey::Create("ssh-dss");
    if (!ChooseCipher(in, true) || !ChooseCipher(in, false)) return 0;

    for (bool transmit : {true, false}) {
        std::string_view macs = in.Text();
        if (!in.Ok()) return 0;
        if (transmit)
            transport->SetPendingTxMac(nullptr);
        else
            transport->SetPendingRxMac(nullptr);
        const char* chosen = nullptr;
        for (const char* name : {"hmac-sha1", "hmac-md5", "none"}) {
            if (NameListOffers(macs, name)) {
                chosen = name;
                break;
            }
        }
        if (chosen == nullptr) return 0;
        auto mac = std::make_unique<CSshMac>(CSshMac::Create(chosen, legacyServer != 0));
        if (transmit)
            transport->SetPendingTxMac(std::move(mac));
        else
            transport->SetPendingRxMac(std::move(mac));
    }

    bool txCompress = false, rxCompress = false;
    if (client->CompressionLevel != 0) {
        std::string_view toServer = in.Text();
        if (!in.Ok()) return 0;
        txCompress = NameListOffers(toServer, "zlib");
        std::string_view fromServer = in.Text();
        if (!in.Ok()) return 0;
        rxCompress = NameListOffers(fromServer, "zlib");
        // The server compresses each direction it offered zlib for; a refusal in either turns
        // the setting off, but the flags follow what each direction will really carry.
        if (!txCompress || !rxCompress) client->CompressionLevel = 0;
    }
    transport->SetPendingCompression(txCompress, rxCompress);
    return 1;
}

void CSshSession::OnKexInit() {
    std::vector<uint8_t> serverPayload(transport->Payload().begin(), transport->Payload().end());
    CWireReader in(serverPayload);
    NegotiateAlgorithms(in);  // a server with nothing in common ends the connection itself

    uint8_t cookie[kCookieLength];
    for (uint8_t& b : cookie) {
        int v = RandomValue();
        if (v < 0) {
            Raise(Err::ProtocolError);
            return;
        }
        b = uint8_t(v);
    }
    const char* hostKeyList = !hostKey ? "ssh-rsa,ssh-dss" : std::strcmp(hostKey->name, "ssh-dss") == 0 ? "ssh-dss" : "ssh-rsa";
    const char* ciphers = CipherListFor(client->CipherType);
    if (ciphers == nullptr) ciphers = CipherListFor(0);
    const char* compression = client->CompressionLevel != 0 ? "zlib,none" : "none,none";

    CByteBuffer body;
    body.Append(cookie, kCookieLength);
    for (const char* list : {kKexName, hostKeyList, ciphers, ciphers, "hmac-sha1,hmac-md5,none",
                             "hmac-sha1,hmac-md5,none", compression, compression, "", ""})
        body.PutCString(list);
    body.PutByte(0);
    body.PutUint32(0);

    transport->BeginPacket(uint8_t(SshMsg::KexInit));
    // The layer's writers take fields; the body is re-read as such so the packet and the hash
    // input hold the very same bytes.
    {
        CWireReader fields(body.Bytes());
        for (uint8_t b : fields.Take(kCookieLength)) transport->PutByte(b);
        for (int i = 0; i < 10; ++i) transport->PutString(fields.String());
        transport->PutByte(fields.Byte());
        transport->PutUint32(fields.Uint32());
    }

    hashInput.Clear();
    hashInput.Append(versionStrings.Data(), versionStrings.Length());
    hashInput.PutUint32(body.Length() + 1);
    hashInput.PutByte(uint8_t(SshMsg::KexInit));
    hashInput.Append(body.Data(), body.Length());
    hashInput.PutUint32(uint32_t(serverPayload.size()) + 1);
    hashInput.PutByte(uint8_t(SshMsg::KexInit));
    hashInput.Append(serverPayload.data(), uint32_t(serverPayload.size()));
    if (!SendPacket()) return;
    SendKexDhInit();
}

void CSshSession::SendKexDhInit() {
    dh = CDhKeyPair::NewGroup1();
    if (!dh || !dh->GenerateKey()) {
        Raise(Err::NotEnoughMemory);
        return;
    }
    transport->BeginPacket(uint8_t(SshMsg::KexDhInit));
    transport->PutMpint(dh->PublicValue());
    SendPacket();
}

void CSshSession::OnKexDhReply() {
    CWireReader in(transport->Payload());
    auto ks = in.String();
    std::vector<uint8_t> hostBlob(ks.begin(), ks.end());
    auto fBytes = in.String();
    auto signatureView = in.String();
    std::vector<uint8_t> signature(signatureView.begin(), signatureView.end());
    if (!in.Ok()) {
        Raise(Err::ProtocolError);
        return;
    }

    std::string fingerprint = KeyFingerprint(hostBlob.data(), uint32_t(hostBlob.size()));
    if (!fingerprint.empty()) {
        int32_t accept = 1;
        client->FireGuarded([&] {
            if (client->events && client->events->OnHostKey)
                client->events->OnHostKey(client, fingerprint.c_str(), &accept);
        });
        if (!Alive()) return;
        if (accept == 0) {
            Raise(Err::AbortedByUser);
            return;
        }
    }
    hashInput.PutString(hostBlob.data(), uint32_t(hostBlob.size()));

    // A failed negotiation leaves nothing to key; numbers are never read into a key of the
    // wrong kind.
    if (!hostKey || !dh || !transport->PendingTxCipher() || !transport->PendingRxCipher() ||
        !transport->PendingTxMac() || !transport->PendingRxMac()) {
        Raise(Err::ProtocolError);
        return;
    }
    CByteBuffer blob;
    blob.Append(hostBlob.data(), uint32_t(hostBlob.size()));
    if (hostKey->ParsePublicBlob(&blob) != 1) {
        Raise(Err::ProtocolError);
        return;
    }

    std::unique_ptr<BIGNUM, BnFree> f(BN_bin2bn(fBytes.data(), int(fBytes.size()), nullptr));
    DhNumber k;
    Sha1Digest h{};
    int result = f ? CompleteExchange(*dh, f.get(), hashInput, k, h) : CDhKeyPair::LibraryFailure;
    if (result == CDhKeyPair::BadServerValue) {
        Raise(Err::SignatureMismatch);
        return;
    }
    if (result != 0) {
        Raise(Err::NotEnoughMemory);
        return;
    }
    int verified = hostKey->Verify(signature.data(), int32_t(signature.size()), h.data(), int32_t(h.size()), 0);
    if (verified != 1 && legacyServer)
        verified = hostKey->Verify(signature.data(), int32_t(signature.size()), h.data(), int32_t(h.size()), 1);
    if (!sessionId) sessionId = CSecureBlock(h.data(), uint32_t(h.size()));
    client->hostKeyAlgorithm = CWideString(hostKey->name);
    hostKey.reset();
    dh.reset();
    if (verified != 1) {
        Raise(Err::SignatureMismatch);
        return;
    }

    auto derive = [&](char letter) { return DeriveKey(letter, k.get(), h, sessionId.Bytes(), kDerivedLength); };
    CSecureBlock ivOut = derive('A'), ivIn = derive('B'), keyOut = derive('C'), keyIn = derive('D'),
                 macOut = derive('E'), macIn = derive('F');
    if (!ivOut || !ivIn || !keyOut || !keyIn || !macOut || !macIn) {
        Raise(Err::NotEnoughMemory);
        return;
    }
    transport->PendingTxCipher()->SetIv(ivOut.Data());
    transport->PendingRxCipher()->SetIv(ivIn.Data());
    transport->PendingTxCipher()->SetKey(keyOut.Data());
    transport->PendingRxCipher()->SetKey(keyIn.Data());
    transport->PendingTxMac()->TakeKey(macOut.Data());
    transport->PendingRxMac()->TakeKey(macIn.Data());

    transport->BeginPacket(uint8_t(SshMsg::NewKeys));
    SendPacket();
}

void CSshSession::OnNewKeys() {
    bool wasEncrypting = transport->Encrypting();
    if (!wasEncrypting) {
        int32_t accept = 1;
        CWideString identification = client->ServerIdentification;
        CWideString hostKeyName = client->hostKeyAlgorithm;
        const char* cipherIn = transport->PendingRxCipher() ? transport->PendingRxCipher()->name : "";
        const char* cipherOut = transport->PendingTxCipher() ? transport->PendingTxCipher()->name : "";
        client->FireGuarded([&] {
            if (client->events && client->events->OnServerInfo)
                client->events->OnServerInfo(client, "SSH2", identification.Narrow(), cipherIn, cipherOut,
                                             hostKeyName.Narrow(), &accept);
        });
        if (!Alive()) return;
        if (accept == 0) {
            Raise(Err::AbortedByUser);
            return;
        }
    }
    if (!transport->TakePendingKeys()) {
        Raise(Err::ProtocolError);
        return;
    }
    // What the channel sent during a re-key waited for the new keys.
    if (!transport->SendHeld(socketSink)) {
        Raise(Err::ProtocolError);
        return;
    }
    if (wasEncrypting) return;  // a re-key changes keys only
    methodsKnown = 0;
    if (!transport->StartCompression(client->CompressionLevel)) {
        Raise(Err::NotEnoughMemory);
        return;
    }
    transport->BeginPacket(uint8_t(SshMsg::ServiceRequest));
    transport->PutCString("ssh-userauth");
    SendPacket();
}

}  // namespace velunor
