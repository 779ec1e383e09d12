// User authentication: "none" first, then each method the server allows, each tried once.
#include <string>
#include <vector>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "ssh/CSshSession.h"

namespace velunor {

namespace {

constexpr char kSecurIdMethod[] = "securid-1@securid.com";
constexpr char kConnectionService[] = "ssh-connection";

}  // namespace

void CSshSession::OnServiceAccept() { SendNextAuthRequest(); }

void CSshSession::OnUserAuthFailure() {
    if (methodsKnown == 0) {
        CWireReader in(transport->Payload());
        std::string_view methods = in.Text();
        int32_t type = client->AuthenticationType;
        if (NameListOffers(methods, kSecurIdMethod) && type == 3) trySecurId = 1;
        if (NameListOffers(methods, "password") && (type == 0 || type == 1)) tryPassword = 1;
        if (NameListOffers(methods, "keyboard-interactive") && (type == 0 || type == 1 || type == 4)) tryKeyboard = 1;
        if (NameListOffers(methods, "publickey") && (type == 0 || type == 2)) tryPublicKey = 1;
    }
    methodsKnown = 1;
    NextMethodAfterRefusal();
}

void CSshSession::NextMethodAfterRefusal() {
    if (!tryPublicKey && !trySecurId && !tryPassword && !tryKeyboard) {
        Raise(Err::LoginRefused);
        return;
    }
    SendNextAuthRequest();
}

void CSshSession::SendNextAuthRequest() {
    std::string user = client->Username.ToUtf8();
    std::string password = client->Password.ToUtf8();
    transport->BeginPacket(uint8_t(SshMsg::UserAuthRequest));
    transport->PutString(user.data(), uint32_t(user.size()));
    transport->PutCString(kConnectionService);

    bool sendPassword = false;
    if (tryPublicKey) {
        tryPublicKey = 0;
        publicKeyPhase = 1;
        userKey.reset();
        auto key = client->privateKey ? CSshKey::FromPrivateBlob(client->privateKey->Bytes()) : nullptr;
        if (!key) {
            // An unreadable key is replaced by the password, as the user would expect.
            sendPassword = true;
        } else {
            transport->PutCString("publickey");
            transport->PutBool(false);
            transport->PutCString(key->name);
            CByteBuffer* blob = key->GetPublicBlob();
            transport->PutString(blob->Data(), blob->Length());
            userKey = std::move(key);
        }
    } else if (trySecurId) {
        trySecurId = 0;
        transport->PutCString(kSecurIdMethod);
        transport->PutBool(false);
        transport->PutString(password.data(), uint32_t(password.size()));
    } else if (tryPassword) {
        sendPassword = true;
    } else if (tryKeyboard) {
        publicKeyPhase = 0;
        tryKeyboard = 0;
        // The whole UTF-8 password is the default answer.
        keyboardAnswer.Clear();
        keyboardAnswer.Append(password.data(), uint32_t(password.size()));
        keyboardAnswer.PutByte(0);
        transport->PutCString("keyboard-interactive");
        transport->PutCString("");
        transport->PutCString("");
    } else if (tryNone) {
        tryNone = 0;
        transport->PutCString("none");
    } else {
        Raise(Err::NoMoreAuthMethods);
        return;
    }
    if (sendPassword) {
        tryPassword = 0;
        transport->PutCString("password");
        transport->PutBool(false);
        transport->PutString(password.data(), uint32_t(password.size()));
    }
    SendPacket();
}

void CSshSession::OnUserAuthBanner() {
    CWireReader in(transport->Payload());
    auto message = in.String();
    if (in.Ok()) bannerText.Append(message.data(), uint32_t(message.size()));
}

void CSshSession::OnUserAuthMessage60() {
    if (publicKeyPhase == 0) {
        AnswerKeyboardPrompts();
        return;
    }
    CWireReader in(transport->Payload());
    std::string_view algorithm = in.Text();
    auto blobBytes = in.String();
    std::unique_ptr<CSshKey> offered = in.Ok() ? CSshKey::Create(algorithm) : nullptr;
    if (offered) {
        CByteBuffer blob;
        blob.Append(blobBytes.data(), uint32_t(blobBytes.size()));
        if (offered->ParsePublicBlob(&blob) != 1) offered.reset();
    }
    if (offered && userKey && offered->Equals(userKey.get()) == 1 && sessionId) {
        SendSignedPublicKeyRequest();
        return;
    }
    NextMethodAfterRefusal();
}

void CSshSession::SendSignedPublicKeyRequest() {
    std::string user = client->Username.ToUtf8();
    CByteBuffer* blob = userKey->GetPublicBlob();
    std::vector<uint8_t> publicBlob(blob->Data(), blob->Data() + blob->Length());

    CByteBuffer signedData;
    signedData.PutString(sessionId.Data(), sessionId.Length());
    signedData.PutByte(uint8_t(SshMsg::UserAuthRequest));
    signedData.PutString(user.data(), uint32_t(user.size()));
    signedData.PutCString(kConnectionService);
    signedData.PutCString("publickey");
    signedData.PutBool(true);
    signedData.PutCString(userKey->name);
    signedData.PutString(publicBlob.data(), uint32_t(publicBlob.size()));
    CSecureBlock signature;
    if (userKey->Sign(&signature, signedData.Data(), signedData.Length()) != 0 || !signature ||
        signature.Length() == 0) {
        NextMethodAfterRefusal();
        return;
    }
    transport->BeginPacket(uint8_t(SshMsg::UserAuthRequest));
    transport->PutString(user.data(), uint32_t(user.size()));
    transport->PutCString(kConnectionService);
    transport->PutCString("publickey");
    transport->PutBool(true);
    transport->PutCString(userKey->name);
    transport->PutString(publicBlob.data(), uint32_t(publicBlob.size()));
    transport->PutString(signature.Data(), signature.Length());
    SendPacket();
}

void CSshSession::AnswerKeyboardPrompts() {
    CWireReader in(transport->Payload());
    in.String();  // name
    in.String();  // instruction
    in.String();  // language tag
    uint32_t count = in.Uint32();
    if (!in.Ok()) {
        Raise(Err::ProtocolError);
        return;
    }
    // The count is the server's word; only prompts really present are read and answered.
    std::vector<std::string> prompts;
    for (uint32_t i = 0; i < count; ++i) {
        std::string_view prompt = in.Text();
        in.Bool();  // echo
        if (!in.Ok()) break;
        prompts.emplace_back(prompt);
    }
    std::string defaultAnswer(reinterpret_cast<const char*>(keyboardAnswer.Data()));
    std::vector<std::string> answers;
    for (const std::string& prompt : prompts) {
        const char* answer = defaultAnswer.c_str();
        client->FireGuarded([&] {
            if (client->events && client->events->OnPrompt) client->events->OnPrompt(client, prompt.c_str(), &answer);
        });
        // The host's text is copied at once: it need only live until the callback returns.
        answers.emplace_back(answer != nullptr ? answer : "");
        if (!Alive()) return;
    }
    transport->BeginPacket(uint8_t(SshMsg::UserAuthInfoResponse));
    transport->PutUint32(uint32_t(answers.size()));
    for (const std::string& answer : answers) transport->PutString(answer.data(), uint32_t(answer.size()));
    SendPacket();
}

}  // namespace velunor
