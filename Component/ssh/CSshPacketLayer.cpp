#include "ssh/CSshPacketLayer.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <string_view>

#include "base/CWireReader.h"
#include "base/SecureFill.h"
#include "ssh/RandomValue.h"

namespace velunor {

namespace {

constexpr uint8_t MsgDisconnect = 1;
constexpr uint8_t MsgIgnore = 2;
constexpr uint8_t MsgDebug = 4;
constexpr uint8_t MsgServiceRequest = 5;
constexpr uint8_t MsgServiceAccept = 6;
constexpr uint8_t MsgKexInit = 20;
constexpr uint8_t MsgNewKeys = 21;
constexpr uint8_t MsgFirstBeyondKex = 50;

constexpr uint32_t HeaderLength = 5;  // length field and padding-length byte
constexpr uint32_t ClearBlockSize = 8;
constexpr uint32_t MinPadding = 4;
// Block sizes the framing can use: the first block must hold the header, and the padding
// (at most block size + 3) must fit its one-byte length.
constexpr int MinBlockSize = 8;
constexpr int MaxBlockSize = 64;
constexpr uint32_t ZlibPiece = 4096;

uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Plaintext must not linger in a buffer that is only rewound.
void WipeAndClear(CByteBuffer& buffer) {
    SecureFill(buffer.Data(), buffer.Length(), 0);
    buffer.Clear();
}

EVP_MAC* Hmac() {
    // Fetched once for the process from the default context; HMAC itself needs no legacy code.
    static EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return hmac;
}

// A reusable HMAC state keyed with the record's key, or null when the library refuses.
EVP_MAC_CTX* NewMacContext(const CSshMac& mac) {
    if (Hmac() == nullptr || mac.digest == nullptr || mac.key == nullptr) return nullptr;
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(Hmac());
    if (ctx == nullptr) return nullptr;
    OSSL_PARAM params[2];
    params[0] = OSSL_PARAM_construct_utf8_string(
        OSSL_MAC_PARAM_DIGEST, const_cast<char*>(EVP_MD_get0_name(mac.digest)), 0);
    params[1] = OSSL_PARAM_construct_end();
    if (EVP_MAC_init(ctx, mac.key, size_t(mac.keyLength), params) != 1) {
        EVP_MAC_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// HMAC(key, sequence || packet) into mac.mac; false when the library fails.
bool ComputeMac(EVP_MAC_CTX* ctx, CSshMac& mac, uint32_t sequence, const uint8_t* packet,
                uint32_t length) {
    if (ctx == nullptr) return false;
    uint8_t seq[4];
    StoreBe32(seq, sequence);
    size_t produced = 0;
    // Re-initialising without a key restarts the HMAC with the key already set.
    return EVP_MAC_init(ctx, nullptr, 0, nullptr) == 1 && EVP_MAC_update(ctx, seq, 4) == 1 &&
           EVP_MAC_update(ctx, packet, length) == 1 &&
           EVP_MAC_final(ctx, mac.mac, &produced, sizeof(mac.mac)) == 1 &&
           produced >= size_t(mac.macLength);
}

bool BlockSizeUsable(const CSshCipher& cipher) {
    return cipher.blockSize >= MinBlockSize && cipher.blockSize <= MaxBlockSize;
}

}  // namespace

void CSshPacketLayer::MacCtxFree::operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }

CSshPacketLayer::CSshPacketLayer(uint32_t firstSequence)
    : rxSequence(firstSequence), txSequence(firstSequence) {}

CSshPacketLayer::~CSshPacketLayer() {
    if (deflateStarted) deflateEnd(&deflater);
    if (inflateStarted) inflateEnd(&inflater);
    WipeAndClear(held);
}

bool CSshPacketLayer::Feed(const uint8_t* bytes, uint32_t length) {
    if (length == 0) return true;
    uint8_t* p = inBuffer.Reserve(length);
    if (p == nullptr) return false;
    std::memcpy(p, bytes, length);
    return true;
}

uint8_t CSshPacketLayer::Fail() {
    // Once framing is lost nothing later in the stream can be trusted.
    broken = true;
    rxPacketLength = 0;
    WipeAndClear(inPayload);
    return Malformed;
}

uint8_t CSshPacketLayer::ReadPacket() {
    if (broken) return Malformed;
    const uint32_t b = (encrypting && rxCipher) ? uint32_t(rxCipher->blockSize) : ClearBlockSize;
    const uint32_t m = (encrypting && rxMac) ? uint32_t(rxMac->macLength) : 0;

    if (rxPacketLength == 0) {
        if (inBuffer.Length() < b) return NoMessage;
        WipeAndClear(inPayload);
        uint8_t* first = inPayload.Reserve(b);
        if (first == nullptr) return Fail();
        std::memcpy(first, inBuffer.Data(), b);
        inBuffer.Skip(b);
        // The first block is decrypted exactly once; CBC chaining carries on into the rest.
        if (encrypting && rxCipher) rxCipher->Decrypt(first, first, int(b));
        uint32_t length = LoadBe32(first);
        if (length < HeaderLength || length > MaxPacketLength) return Fail();
        // A packet shorter than the block already read, or one that does not end on a block
        // boundary under a cipher, could only be waited for forever or decrypted in part.
        uint32_t total = length + 4;
        if (total < b || (encrypting && total % b != 0)) return Fail();
        rxPacketLength = length;
    }

    const uint32_t total = rxPacketLength + 4;
    const uint32_t rest = total - b;
    if (inBuffer.Length() < rest || inBuffer.Length() - rest < m) return NoMessage;

    if (rest > 0) {
        uint8_t* tail = inPayload.Reserve(rest);
        if (tail == nullptr) return Fail();
        std::memcpy(tail, inBuffer.Data(), rest);
        inBuffer.Skip(rest);
        if (encrypting && rxCipher) rxCipher->Decrypt(tail, tail, int(rest));
    }

    if (m != 0) {
        if (!rxMac->Usable() || !ComputeMac(rxMacCtx.get(), *rxMac, rxSequence, inPayload.Data(), total))
            return Fail();
        if (CRYPTO_memcmp(rxMac->mac, inBuffer.Data(), m) != 0) return Fail();
        inBuffer.Skip(m);
    }
    ++rxSequence;  // wraps modulo 2^32 like the peer's counter
    rxPacketLength = 0;

    const uint32_t padding = inPayload.Data()[4];
    // Under 4 padding bytes, or no room left for the message type: length or keys are wrong.
    if (padding < MinPadding || padding > total - HeaderLength - 1) return Fail();
    inPayload.Skip(HeaderLength);
    inPayload.TrimEnd(padding);

    if (encrypting && rxCompress) {
        if (!Decompress(inPayload.Bytes())) return Fail();
        WipeAndClear(inPayload);
        uint8_t* p = inPayload.Reserve(scratch.Length());
        if (p == nullptr && scratch.Length() != 0) return Fail();
        if (scratch.Length() != 0) std::memcpy(p, scratch.Data(), scratch.Length());
        WipeAndClear(scratch);
    }

    // Message number 0 does not exist; taken as "nothing buffered" it would stall the stream.
    if (inPayload.Length() == 0) return Fail();
    uint8_t type = inPayload.GetByte();
    if (type == NoMessage) return Fail();
    return type;
}

uint8_t CSshPacketLayer::NextMessage(uint32_t* payloadLength) {
    for (;;) {
        uint8_t type = ReadPacket();
        if (type == MsgIgnore) continue;
        if (type == MsgDebug) {
            // Always-display flag, message and language tag: nothing here shows them.
            continue;
        }
        if (type == MsgDisconnect) {
            CWireReader fields(inPayload.Bytes());
            fields.Uint32();  // the reason code is not kept
            std::string_view description = fields.Text();
            disconnectText = CWideString::FromUtf8(description);
        }
        if (payloadLength != nullptr)
            *payloadLength = (type == NoMessage || type == Malformed) ? 0 : inPayload.Length();
        return type;
    }
}

void CSshPacketLayer::TrackAppend(uint32_t before, uint32_t expected) {
    if (outPayload.Length() - before != expected) outFailed = true;
}

void CSshPacketLayer::BeginPacket(uint8_t messageType) {
    WipeAndClear(outPayload);
    outFailed = false;
    const uint8_t header[6] = {0, 0, 0, 0, 0, messageType};
    outPayload.Append(header, sizeof(header));
    TrackAppend(0, sizeof(header));
}

void CSshPacketLayer::PutByte(uint8_t v) {
    uint32_t before = outPayload.Length();
    outPayload.PutByte(v);
    TrackAppend(before, 1);
}

void CSshPacketLayer::PutUint32(uint32_t v) {
    uint32_t before = outPayload.Length();
    outPayload.PutUint32(v);
    TrackAppend(before, 4);
}

void CSshPacketLayer::PutString(const void* data, uint32_t length) {
    uint32_t before = outPayload.Length();
    outPayload.PutString(data, length);
    // Refused lengths must not wrap the expected growth and pass the check.
    if (length > CByteBuffer::MaxReserve) outFailed = true;
    else TrackAppend(before, length + 4);
}

void CSshPacketLayer::PutCString(const char* text) {
    size_t n = text ? std::strlen(text) : 0;
    if (n > CByteBuffer::MaxReserve) {
        outFailed = true;
        return;
    }
    PutString(text ? text : "", uint32_t(n));
}

void CSshPacketLayer::PutMpint(const BIGNUM* x) {
    uint32_t before = outPayload.Length();
    outPayload.PutMpint(x);
    // An mpint is at least its length field; nothing written means it was refused.
    if (outPayload.Length() - before < 4) outFailed = true;
}

bool CSshPacketLayer::SendPacket(Sink& socket) {
    if (outFailed || outPayload.Length() <= HeaderLength) {
        WipeAndClear(outPayload);
        return false;
    }
    const uint8_t type = outPayload.Data()[HeaderLength];
    // The peer switches keys at this side's NEWKEYS and takes only key exchange messages before
    // it; anything else sent now would be read under the wrong keys, or not at all.
    if (keyExchangeUnderWay &&
        (type >= MsgFirstBeyondKex || type == MsgServiceRequest || type == MsgServiceAccept)) {
        const uint32_t length = outPayload.Length() - HeaderLength;
        const uint32_t before = held.Length();
        held.PutUint32(length);
        held.Append(outPayload.Data() + HeaderLength, length);
        const bool kept = held.Length() - before == length + 4;
        if (!kept) held.TrimEnd(held.Length() - before);
        WipeAndClear(outPayload);
        return kept;
    }
    const uint32_t b = (encrypting && txCipher) ? uint32_t(txCipher->blockSize) : ClearBlockSize;

    if (encrypting && txCompress) {
        std::span<const uint8_t> body = outPayload.Bytes().subspan(HeaderLength);
        if (!Compress(body)) {
            WipeAndClear(outPayload);
            WipeAndClear(scratch);
            return false;
        }
        WipeAndClear(outPayload);
        const uint8_t header[HeaderLength] = {};
        outPayload.Append(header, HeaderLength);
        uint8_t* p = outPayload.Reserve(scratch.Length());
        bool ok = outPayload.Length() == HeaderLength + scratch.Length() && p != nullptr;
        if (ok) std::memcpy(p, scratch.Data(), scratch.Length());
        WipeAndClear(scratch);
        if (!ok) {
            WipeAndClear(outPayload);
            return false;
        }
    }

    uint32_t n = outPayload.Length();
    uint32_t padding = b - n % b;
    if (padding < MinPadding) padding += b;
    uint8_t* pad = outPayload.Reserve(padding);
    if (pad == nullptr) {
        WipeAndClear(outPayload);
        return false;
    }
    // Random padding once keyed, and for NEWKEYS, the last packet under the old keys.
    if (encrypting || type == MsgNewKeys) {
        if (!RandomFill(std::span(pad, padding))) {
            WipeAndClear(outPayload);
            return false;
        }
    } else {
        std::memset(pad, 0, padding);
    }
    uint8_t* packet = outPayload.Data();
    const uint32_t total = outPayload.Length();
    StoreBe32(packet, total - 4);
    packet[4] = uint8_t(padding);

    uint32_t m = 0;
    if (encrypting && txMac && txMac->macLength != 0) {
        // The negotiation never leaves a MAC in force unkeyed; sending without it would be
        // refused by the peer anyway, so stop here.
        if (!txMac->Usable() || !ComputeMac(txMacCtx.get(), *txMac, txSequence, packet, total)) {
            WipeAndClear(outPayload);
            return false;
        }
        m = uint32_t(txMac->macLength);
    }

    uint8_t* wire = outBuffer.Reserve(total + m);
    if (wire == nullptr) {
        WipeAndClear(outPayload);
        return false;
    }
    if (encrypting && txCipher)
        txCipher->Encrypt(wire, packet, int(total));
    else
        std::memcpy(wire, packet, total);
    if (m != 0) std::memcpy(wire + total, txMac->mac, m);

    ++txSequence;
    WipeAndClear(outPayload);
    if (type == MsgKexInit) keyExchangeUnderWay = true;
    FlushOutput(socket);
    return true;
}

bool CSshPacketLayer::SendHeld(Sink& socket) {
    if (keyExchangeUnderWay) return true;
    CWireReader records(held.Bytes());
    bool ok = true;
    while (ok && records.Remaining() != 0) {
        auto payload = records.String();
        if (!records.Ok() || payload.empty()) {
            ok = false;
            break;
        }
        WipeAndClear(outPayload);
        outFailed = false;
        const uint8_t header[HeaderLength] = {};
        outPayload.Append(header, HeaderLength);
        TrackAppend(0, HeaderLength);
        outPayload.Append(payload.data(), uint32_t(payload.size()));
        TrackAppend(HeaderLength, uint32_t(payload.size()));
        ok = SendPacket(socket);
    }
    WipeAndClear(held);
    return ok;
}

int CSshPacketLayer::FlushOutput(Sink& socket) {
    if (outBuffer.Length() == 0) return 0;
    int sent = socket.Send(outBuffer.Bytes());
    if (sent > 0) outBuffer.Skip(uint32_t(sent) < outBuffer.Length() ? uint32_t(sent) : outBuffer.Length());
    return sent;
}

bool CSshPacketLayer::KeyPendingObjects(const KeyMaterial& material) {
    if (!pendingTxCipher || !pendingRxCipher || !pendingTxMac || !pendingRxMac || !material) return false;
    auto length = [](int n) { return n > 0 ? uint32_t(n) : 0u; };
    CSecureBlock ivTx = material('A', length(pendingTxCipher->blockSize));
    CSecureBlock ivRx = material('B', length(pendingRxCipher->blockSize));
    CSecureBlock keyTx = material('C', length(pendingTxCipher->keyLength));
    CSecureBlock keyRx = material('D', length(pendingRxCipher->keyLength));
    CSecureBlock macTx = material('E', length(pendingTxMac->keyLength));
    CSecureBlock macRx = material('F', length(pendingRxMac->keyLength));
    // All or nothing: half-keyed objects must not be put in force.
    if (!ivTx || !ivRx || !keyTx || !keyRx || !macTx || !macRx) return false;
    if (ivTx.Length() < length(pendingTxCipher->blockSize) || ivRx.Length() < length(pendingRxCipher->blockSize) ||
        keyTx.Length() < length(pendingTxCipher->keyLength) || keyRx.Length() < length(pendingRxCipher->keyLength) ||
        macTx.Length() < length(pendingTxMac->keyLength) || macRx.Length() < length(pendingRxMac->keyLength))
        return false;
    pendingTxCipher->SetIv(ivTx.Data());
    pendingRxCipher->SetIv(ivRx.Data());
    pendingTxCipher->SetKey(keyTx.Data());
    pendingRxCipher->SetKey(keyRx.Data());
    pendingTxMac->TakeKey(macTx.Data());
    pendingRxMac->TakeKey(macRx.Data());
    return true;
}

bool CSshPacketLayer::TakePendingKeys() {
    if (!pendingTxCipher || !pendingRxCipher || !pendingTxMac || !pendingRxMac) return false;
    if (!BlockSizeUsable(*pendingTxCipher) || !BlockSizeUsable(*pendingRxCipher)) return false;
    if (!pendingTxMac->Usable() || !pendingRxMac->Usable()) return false;
    decltype(txMacCtx) newTxCtx, newRxCtx;
    if (pendingTxMac->macLength != 0) {
        newTxCtx.reset(NewMacContext(*pendingTxMac));
        if (!newTxCtx) return false;
    }
    if (pendingRxMac->macLength != 0) {
        newRxCtx.reset(NewMacContext(*pendingRxMac));
        if (!newRxCtx) return false;
    }
    // The MAC states go with their records: each holds a copy of the key being replaced.
    txMacCtx = std::move(newTxCtx);
    rxMacCtx = std::move(newRxCtx);
    txMac = std::move(pendingTxMac);
    rxMac = std::move(pendingRxMac);
    txCipher = std::move(pendingTxCipher);
    rxCipher = std::move(pendingRxCipher);
    txCompress = pendingTxCompress;
    rxCompress = pendingRxCompress;
    pendingTxCompress = pendingRxCompress = false;
    encrypting = true;
    keyExchangeUnderWay = false;
    return true;
}

bool CSshPacketLayer::StartCompression(int level) {
    if (deflateStarted) deflateEnd(&deflater);
    if (inflateStarted) inflateEnd(&inflater);
    deflateStarted = inflateStarted = zlibReady = false;
    deflater = z_stream{};
    inflater = z_stream{};
    int deflateLevel = (level >= 1 && level <= 9) ? level : Z_DEFAULT_COMPRESSION;
    deflateStarted = deflateInit(&deflater, deflateLevel) == Z_OK;
    inflateStarted = inflateInit(&inflater) == Z_OK;
    zlibReady = deflateStarted && inflateStarted;
    return zlibReady;
}

bool CSshPacketLayer::Compress(std::span<const uint8_t> in) {
    WipeAndClear(scratch);
    if (!deflateStarted) return false;
    if (in.empty()) return true;
    deflater.next_in = const_cast<Bytef*>(in.data());
    deflater.avail_in = uInt(in.size());
    uint8_t piece[ZlibPiece];
    bool ok = true;
    // A piece filled to the end may mean more output is waiting in the stream.
    do {
        deflater.next_out = piece;
        deflater.avail_out = ZlibPiece;
        int rc = deflate(&deflater, Z_PARTIAL_FLUSH);
        uint32_t produced = ZlibPiece - deflater.avail_out;
        if (rc != Z_OK && rc != Z_BUF_ERROR) ok = false;
        if (ok && produced > 0) {
            uint32_t before = scratch.Length();
            scratch.Append(piece, produced);
            if (scratch.Length() - before != produced) ok = false;
        }
    } while (ok && deflater.avail_out == 0);
    if (deflater.avail_in != 0) ok = false;
    SecureFill(piece, sizeof(piece), 0);
    deflater.next_in = nullptr;
    return ok;
}

bool CSshPacketLayer::Decompress(std::span<const uint8_t> in) {
    WipeAndClear(scratch);
    if (!inflateStarted) return false;
    inflater.next_in = const_cast<Bytef*>(in.data());
    inflater.avail_in = uInt(in.size());
    uint8_t piece[ZlibPiece];
    bool ok = true;
    for (;;) {
        inflater.next_out = piece;
        inflater.avail_out = ZlibPiece;
        int rc = inflate(&inflater, Z_PARTIAL_FLUSH);
        uint32_t produced = ZlibPiece - inflater.avail_out;
        if (produced > 0) {
            if (produced > MaxPayloadLength - scratch.Length()) {
                ok = false;
                break;
            }
            uint32_t before = scratch.Length();
            scratch.Append(piece, produced);
            if (scratch.Length() - before != produced) {
                ok = false;
                break;
            }
        }
        if (rc == Z_OK) continue;
        // No progress left to make: the input is used up. Anything else is a broken stream,
        // whose cut-off output must not pass for the peer's message.
        ok = (rc == Z_BUF_ERROR || rc == Z_STREAM_END);
        break;
    }
    if (inflater.avail_in != 0) ok = false;
    SecureFill(piece, sizeof(piece), 0);
    inflater.next_in = nullptr;
    return ok;
}

}  // namespace velunor
