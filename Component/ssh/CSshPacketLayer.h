#pragma once

#include <openssl/bn.h>
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "base/CByteBuffer.h"
#include "base/CSecureBlock.h"
#include "base/CWideString.h"
#include "crypto/CSshCipher.h"
#include "crypto/CSshMac.h"

typedef struct evp_mac_ctx_st EVP_MAC_CTX;

namespace velunor {

// The SSH-2 binary packet protocol over one TCP connection: received bytes in, messages out, and
// outgoing messages framed, padded, compressed, authenticated and encrypted. It knows nothing of
// what messages mean except DISCONNECT, IGNORE and DEBUG, which it consumes itself.
//
// Until the first key switch packets travel in clear with block size 8, no MAC and no
// compression. The negotiation puts the next algorithms into the pending slots, the key exchange
// keys them, and the NEWKEYS handler puts all of them in force at once with TakePendingKeys.
class CSshPacketLayer {
public:
    // Message numbers this layer reports that are not messages.
    static constexpr uint8_t NoMessage = 0;    // no complete packet buffered yet
    static constexpr uint8_t Malformed = 255;  // the stream is broken; the connection must end

    static constexpr uint32_t MaxPacketLength = 262144;
    // A decompressed payload larger than any packet could carry uncompressed is refused.
    static constexpr uint32_t MaxPayloadLength = MaxPacketLength;

    // Where wire bytes go: returns how many of them the socket took (0 to all), or -1.
    class Sink {
    public:
        virtual int Send(std::span<const uint8_t> bytes) = 0;

    protected:
        ~Sink() = default;
    };

    // Both sequence numbers start at firstSequence; a connection starts at 0.
    explicit CSshPacketLayer(uint32_t firstSequence = 0);
    virtual ~CSshPacketLayer();
    CSshPacketLayer(const CSshPacketLayer&) = delete;
    CSshPacketLayer& operator=(const CSshPacketLayer&) = delete;

    // Received wire bytes; false (nothing kept) when the input buffer cannot hold them.
    [[nodiscard]] bool Feed(const uint8_t* bytes, uint32_t length);
    [[nodiscard]] bool Feed(std::span<const uint8_t> bytes) { return Feed(bytes.data(), uint32_t(bytes.size())); }

    // The next message for the engine: its number with the payload positioned after the type
    // byte, NoMessage while none is complete, Malformed (for good) once the stream is broken.
    // IGNORE and DEBUG are swallowed; a DISCONNECT keeps its description (DisconnectText) and
    // is returned as 1.
    uint8_t NextMessage(uint32_t* payloadLength = nullptr);

    // Outgoing message: BeginPacket, the field writers, then SendPacket.
    void BeginPacket(uint8_t messageType);
    void PutByte(uint8_t v);
    void PutBool(bool v) { PutByte(v ? 1 : 0); }
    void PutUint32(uint32_t v);
    void PutString(const void* data, uint32_t length);
    void PutString(std::span<const uint8_t> bytes) { PutString(bytes.data(), uint32_t(bytes.size())); }
    void PutCString(const char* text);
    void PutMpint(const BIGNUM* x);

    // Completes the packet under construction, appends it to the output buffer and offers all
    // buffered output to the sink once; what the sink does not take waits for FlushOutput.
    // False when the packet could not be built (a field did not fit, compression failed, the
    // MAC in force is unusable, the output buffer is full): nothing of it was queued, and the
    // connection cannot go on.
    [[nodiscard]] bool SendPacket(Sink& socket);
    // From the KEXINIT this side sends until the keys switch only transport messages may go out;
    // SendPacket keeps any other message back meanwhile. After the switch these send what was
    // kept, in order, under the new keys (false as SendPacket gives it).
    bool KeyExchangeUnderWay() const { return keyExchangeUnderWay; }
    [[nodiscard]] bool SendHeld(Sink& socket);
    // Offers the waiting output to the sink (a send event): bytes taken, 0 if none waited, or -1.
    int FlushOutput(Sink& socket);
    uint32_t OutputPending() const { return outBuffer.Length(); }

    // Field readers on the current message (after NextMessage).
    uint8_t GetByte() { return inPayload.GetByte(); }
    bool GetBool() { return inPayload.GetByte() != 0; }
    uint32_t GetUint32() { return inPayload.GetUint32(); }
    [[nodiscard]] uint32_t GetMpint(BIGNUM* x) { return inPayload.GetMpint(x); }
    [[nodiscard]] CSecureBlock GetString() { return inPayload.GetString(); }
    // The unread rest of the payload, for a CWireReader; valid until the next NextMessage.
    std::span<const uint8_t> Payload() const { return inPayload.Bytes(); }

    // Pending algorithms of the coming key switch; a new setter call replaces (and wipes) what
    // was pending. The getters let the key exchange key the pending objects in place.
    void SetPendingTxCipher(std::unique_ptr<CSshCipher> cipher) { pendingTxCipher = std::move(cipher); }
    void SetPendingRxCipher(std::unique_ptr<CSshCipher> cipher) { pendingRxCipher = std::move(cipher); }
    void SetPendingTxMac(std::unique_ptr<CSshMac> mac) { pendingTxMac = std::move(mac); }
    void SetPendingRxMac(std::unique_ptr<CSshMac> mac) { pendingRxMac = std::move(mac); }
    void SetPendingCompression(bool tx, bool rx) { pendingTxCompress = tx; pendingRxCompress = rx; }
    CSshCipher* PendingTxCipher() const { return pendingTxCipher.get(); }
    CSshCipher* PendingRxCipher() const { return pendingRxCipher.get(); }
    CSshMac* PendingTxMac() const { return pendingTxMac.get(); }
    CSshMac* PendingRxMac() const { return pendingRxMac.get(); }

    // Key material for one letter of the exchange ('A' to 'F'), at least length bytes; a null
    // block when it cannot be made.
    using KeyMaterial = std::function<CSecureBlock(char letter, uint32_t length)>;
    // Keys the pending objects: IV A and key C for sending, B and D for receiving, MAC keys E
    // (sending) and F (receiving), each as long as its object asks. False, with nothing keyed,
    // when a pending object is missing (the negotiation failed) or material could not be made.
    [[nodiscard]] bool KeyPendingObjects(const KeyMaterial& material);

    // Puts the four pending objects and the pending compression flags in force for both
    // directions and empties the pending slots; the objects replaced are destroyed, which wipes
    // their keys. Returns false and changes nothing when a pending object is missing or unusable
    // (a MAC without its key, a block size the framing cannot use).
    [[nodiscard]] bool TakePendingKeys();
    bool Encrypting() const { return encrypting; }

    // Sets up the connection's deflate and inflate streams (ending any earlier ones). level is
    // the deflate level 1 to 9; any other value still starts the stream at zlib's default level,
    // because compression may be in force for sending even when the level was turned off.
    [[nodiscard]] bool StartCompression(int level);

    // The description of the last DISCONNECT received (empty if none).
    const CWideString& DisconnectText() const { return disconnectText; }

    uint32_t TxSequence() const { return txSequence; }
    uint32_t RxSequence() const { return rxSequence; }

private:
    uint8_t ReadPacket();
    uint8_t Fail();
    bool Compress(std::span<const uint8_t> in);
    bool Decompress(std::span<const uint8_t> in);
    void TrackAppend(uint32_t before, uint32_t expected);

    CByteBuffer inBuffer;
    CByteBuffer outBuffer;
    CByteBuffer inPayload;
    CByteBuffer outPayload;
    bool encrypting = false;
    CWideString disconnectText;
    CByteBuffer scratch;
    bool rxCompress = false;
    bool txCompress = false;
    bool pendingRxCompress = false;
    bool pendingTxCompress = false;
    z_stream inflater{};
    z_stream deflater{};
    bool deflateStarted = false;
    bool inflateStarted = false;
    bool zlibReady = false;
    // Null in force means none: block size 8, no MAC.
    std::unique_ptr<CSshCipher> txCipher;
    std::unique_ptr<CSshCipher> rxCipher;
    std::unique_ptr<CSshMac> txMac;
    std::unique_ptr<CSshMac> rxMac;
    std::unique_ptr<CSshCipher> pendingTxCipher;
    std::unique_ptr<CSshCipher> pendingRxCipher;
    std::unique_ptr<CSshMac> pendingTxMac;
    std::unique_ptr<CSshMac> pendingRxMac;
    // Keyed HMAC state of the MACs in force, so a packet costs no key set-up.
    struct MacCtxFree {
        void operator()(EVP_MAC_CTX* ctx) const;
    };
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> txMacCtx;
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> rxMacCtx;
    uint32_t rxSequence;
    uint32_t txSequence;
    uint32_t rxPacketLength = 0;
    bool broken = false;
    bool outFailed = false;
    bool keyExchangeUnderWay = false;
    // Payloads (type and fields) kept back during a key exchange, each after its uint32 length.
    CByteBuffer held;
};

}  // namespace velunor
