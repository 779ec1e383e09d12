#include "client/CSftpClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "client/ErrorTable.h"
#include "platform/Ole.h"
#include "platform/TextCodec.h"

using velunor::platform::AllocBstrFromUtf8;
using velunor::platform::BstrView;
using velunor::platform::Utf16ToUtf8;

namespace {

std::string Text(BSTR b) { return Utf16ToUtf8(BstrView(b)); }

// Records the callbacks a component fires.
struct Recorder {
    std::vector<int32_t> stateChanges;
    std::vector<std::pair<int32_t, std::string>> results;
};
Recorder* recorder = nullptr;

SftpEvents RecordingEvents() {
    SftpEvents e{};
    e.OnStateChange = [](CSftpClient*, int32_t previous) { recorder->stateChanges.push_back(previous); };
    e.OnResult = [](CSftpClient*, int32_t code, const char* text) { recorder->results.emplace_back(code, text); };
    return e;
}

class Component : public testing::Test {
protected:
    void SetUp() override {
        recorder = &seen;
        events = RecordingEvents();
        host = SFTP_Create(&events);
        ASSERT_NE(host, nullptr);
        t = host->vtbl;
    }
    void TearDown() override {
        SFTP_Delete(host);
        recorder = nullptr;
    }
    velunor::CSftpClient& Inner() { return *static_cast<velunor::CSftpClient*>(host); }
    std::string LastErrorText() { return Inner().lastErrorText.ToUtf8(); }

    Recorder seen;
    SftpEvents events{};
    CSftpClient* host = nullptr;
    const CSftpClientVtbl* t = nullptr;
};

}  // namespace

TEST_F(Component, FreshDefaults) {
    int32_t i = -1;
    int16_t s = -1;
    VARIANT_BOOL b = 1;
    EXPECT_EQ(t->get_State(host, &i), 0); EXPECT_EQ(i, 0);
    EXPECT_EQ(t->get_Port(host, &i), 0); EXPECT_EQ(i, 22);
    EXPECT_EQ(t->get_Timeout(host, &s), 0); EXPECT_EQ(s, 60);
    EXPECT_EQ(t->get_LastError(host, &s), 0); EXPECT_EQ(s, 0);
    EXPECT_EQ(t->get_BufferSize(host, &i), 0); EXPECT_EQ(i, 0);
    EXPECT_EQ(t->get_AuthenticationType(host, &i), 0); EXPECT_EQ(i, 1);
    EXPECT_EQ(t->get_ProxyPort(host, &i), 0); EXPECT_EQ(i, 1080);
    EXPECT_EQ(t->get_Resume(host, &b), 0); EXPECT_EQ(b, 0);
    auto& c = Inner();
    EXPECT_EQ(c.SendTimeout, 60000);
    EXPECT_EQ(c.ReceiveTimeout, 60000);
    EXPECT_EQ(c.bufferSize, 32768);
    EXPECT_EQ(c.ioBufferSize, 32768u + 128);
    EXPECT_EQ(c.convertBufferSize, 2 * 32768u + 128);
    EXPECT_EQ(c.listMode, 2);
    EXPECT_EQ(c.operationState, velunor::OpState::Start);
    EXPECT_EQ(c.transfer.localFile, velunor::platform::kInvalidFile);
    EXPECT_EQ(c.requestId & 0x80008000u, 0u);  // two 15-bit halves
    EXPECT_FALSE(c.LocalHostname.Empty());
    BSTR v = nullptr;
    EXPECT_EQ(t->get_Version(host, &v), 0);
    EXPECT_EQ(Text(v), "2.2.0.7 (DLL)");
    SysFreeString(v);
}

TEST_F(Component, RaiseErrorTexts) {
    struct Case {
        int32_t code;
        const char* text;
    };
    const Case cases[] = {
        {30018, "Server error"},
        {-1, "Unrecognized Error."},
        {10065, "Remote host is currently unreachable "},
        {30036, "Invalid buffer size.  Recommended buffers be 8k or greater"},
        {2, "The system cannot find the file specified."},  // system text, cut at its line end
        {int32_t(0x80004001), "Not implemented"},
        {424242, "You system did not provide string representation of the error."},
    };
    auto& c = Inner();
    for (const auto& k : cases) {
        EXPECT_EQ(c.RaiseError(k.code), k.code);
        EXPECT_EQ(LastErrorText(), k.text) << k.code;
    }
    EXPECT_EQ(c.lastError, 0);  // raising never records the code
    EXPECT_EQ(velunor::ErrorMessage(12345), nullptr);
}

TEST_F(Component, SetStateFiresOncePerChangeAndReportResultRecords) {
    auto& c = Inner();
    c.SetState(0);
    EXPECT_TRUE(seen.stateChanges.empty());
    c.SetState(3);
    c.SetState(3);
    c.SetState(6);
    EXPECT_EQ(seen.stateChanges, (std::vector<int32_t>{0, 3}));
    EXPECT_EQ(c.state, 6);

    c.operationPending = true;
    c.ReportResult(30027, "disconnected");
    EXPECT_FALSE(c.operationPending);
    EXPECT_EQ(c.lastError, 30027);
    EXPECT_EQ(LastErrorText(), "disconnected");
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(seen.results[0], (std::pair<int32_t, std::string>{30027, "disconnected"}));
}

TEST_F(Component, PropertyChecksDependOnState) {
    auto& c = Inner();
    BSTR name = AllocBstrFromUtf8("host.example");
    struct Case {
        int32_t state;
        int32_t hostname, port, compression5, compression10;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 30039},
        {1, 30004, 30005, 30038, 30038},
        {3, 30004, 30005, 30038, 30038},
        {6, 30004, 30005, 30038, 30038},
    };
    for (const auto& k : cases) {
        c.state = k.state;
        EXPECT_EQ(t->put_Hostname(host, name), k.hostname) << k.state;
        EXPECT_EQ(t->put_Port(host, 2022), k.port) << k.state;
        EXPECT_EQ(t->put_CompressionLevel(host, 5), k.compression5) << k.state;
        EXPECT_EQ(t->put_CompressionLevel(host, 10), k.compression10) << k.state;
        EXPECT_EQ(t->put_CompressionLevel(host, -1), k.compression10) << k.state;
    }
    c.state = 0;
    EXPECT_EQ(t->put_CompressionLevel(host, 10), 30039);
    EXPECT_EQ(LastErrorText(), "Compression level should be between 0 and 9");
    int16_t level = -1;
    t->get_CompressionLevel(host, &level);
    EXPECT_EQ(level, 5);
    SysFreeString(name);
}

TEST_F(Component, TextPropertiesStopAtNulAndComeBackEmptyWhenUnset) {
    const char16_t units[] = {u'a', u'b', 0, u'c'};
    BSTR withNul = SysAllocStringLen(units, 4);
    EXPECT_EQ(t->put_Username(host, withNul), 0);
    BSTR out = nullptr;
    EXPECT_EQ(t->get_Username(host, &out), 0);
    EXPECT_EQ(SysStringLen(out), 2u);
    SysFreeString(out);
    SysFreeString(withNul);

    out = nullptr;
    EXPECT_EQ(t->get_ResultText(host, &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(SysStringLen(out), 0u);
    SysFreeString(out);

    EXPECT_EQ(t->put_Password(host, nullptr), 0);
    EXPECT_EQ(t->get_Password(host, nullptr), E_POINTER);
    EXPECT_EQ(t->get_State(host, nullptr), E_POINTER);
    EXPECT_EQ(t->GetErrorText(host, 0, nullptr), E_POINTER);
    EXPECT_EQ(t->GetStateText(host, velunor::platform::MissingVariant(), nullptr), E_POINTER);
}

TEST_F(Component, PathPropertiesKeepTheirOwnCopies) {
    auto& c = Inner();
    BSTR remote = AllocBstrFromUtf8("/srv/in");
    BSTR local = AllocBstrFromUtf8("/tmp/out");
    t->put_RemotePath(host, remote);
    t->put_LocalPath(host, local);
    EXPECT_EQ(c.remotePath.ToUtf8(), "/srv/in");
    EXPECT_EQ(c.localPath.ToUtf8(), "/tmp/out");
    // An operation's own paths change what the local get returns, not the remote get.
    c.localPath = velunor::CWideString("/tmp/used");
    c.remotePath = velunor::CWideString("/srv/used");
    BSTR out = nullptr;
    t->get_LocalPath(host, &out);
    EXPECT_EQ(Text(out), "/tmp/used");
    SysFreeString(out);
    t->get_RemotePath(host, &out);
    EXPECT_EQ(Text(out), "/srv/in");
    SysFreeString(out);
    SysFreeString(remote);
    SysFreeString(local);
}

TEST_F(Component, GetStateTextAndGetErrorText) {
    struct Case {
        VARIANT state;
        const char* text;
    };
    VARIANT abc = velunor::platform::BstrVariant(AllocBstrFromUtf8("abc"));
    VARIANT four = velunor::platform::BstrVariant(AllocBstrFromUtf8("4"));
    VARIANT empty;
    VariantInit(&empty);
    VARIANT six;
    VariantInit(&six);
    six.vt = VT_I4;
    six.u.lVal = 6;
    VARIANT big = six;
    big.u.lVal = 99;
    const Case cases[] = {
        {abc, "Disconnected from server"},  // does not convert: the current state
        {four, "Receiving data from server"},
        {empty, "Disconnected from server"},
        {six, "Executing command on server"},
        {big, "Unknown state"},
        {velunor::platform::MissingVariant(), "Disconnected from server"},
    };
    for (const auto& k : cases) {
        BSTR out = nullptr;
        EXPECT_EQ(t->GetStateText(host, k.state, &out), 0);
        EXPECT_EQ(Text(out), k.text);
        SysFreeString(out);
    }
    VariantClear(&abc);
    VariantClear(&four);

    BSTR out = nullptr;
    EXPECT_EQ(t->GetErrorText(host, int16_t(30039), &out), 0);
    EXPECT_EQ(Text(out), "Compression level should be between 0 and 9");
    SysFreeString(out);
    out = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(t->GetErrorText(host, 12345, &out), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(t->GetErrorText(host, -1, &out), 0);
    EXPECT_EQ(Text(out), "Unrecognized Error.");
    SysFreeString(out);
}

TEST_F(Component, BufferSizeSetsEffectiveSizeAndRefusesBadPuts) {
    auto& c = Inner();
    struct Case {
        int32_t state, put, result, getAfter, effective;
        size_t ioSize;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 32768, 32768 + 128},
        {0, 4096, 0, 4096, 4096, 32768 + 128},  // buffers stay sized for at least 32768
        {3, 65536, 0, 65536, 65536, 65536 + 128},
        {4, 8192, 30035, 65536, 65536, 65536 + 128},
        {5, 8192, 30035, 65536, 65536, 65536 + 128},
        {0, -1, 30036, 65536, 65536, 65536 + 128},
    };
    for (const auto& k : cases) {
        c.state = k.state;
        EXPECT_EQ(t->put_BufferSize(host, k.put), k.result) << k.put;
        int32_t got = -1;
        t->get_BufferSize(host, &got);
        EXPECT_EQ(got, k.getAfter);
        EXPECT_EQ(c.bufferSize, k.effective);
        EXPECT_EQ(c.ioBufferSize, k.ioSize);
        EXPECT_EQ(c.convertBufferSize, 2 * (k.ioSize - 128) + 128);
    }
    c.state = 0;
}

TEST_F(Component, UserDataIsDeepCopiedAndReplaced) {
    VARIANT v = velunor::platform::BstrVariant(AllocBstrFromUtf8("first"));
    EXPECT_EQ(t->put_UserData(host, v), 0);
    VariantClear(&v);
    v = velunor::platform::BstrVariant(AllocBstrFromUtf8("second"));
    EXPECT_EQ(t->put_UserData(host, v), 0);  // the first copy is released (leak-checked under ASan)
    VariantClear(&v);
    VARIANT out;
    EXPECT_EQ(t->get_UserData(host, &out), 0);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(Text(out.u.bstrVal), "second");
    VariantClear(&out);
    EXPECT_EQ(t->get_UserData(host, nullptr), 0);
}

TEST_F(Component, PrivateKeyFormsByVariantType) {
    auto& c = Inner();
    VARIANT out;
    EXPECT_EQ(t->get_PrivateKey(host, &out), 0);
    EXPECT_EQ(out.vt, VT_ERROR);
    EXPECT_EQ(t->get_PrivateKey(host, nullptr), 0);

    // Text in, text out: the full length, embedded NUL included.
    const char16_t units[] = {u'k', 0, u'y'};
    BSTR keyText = SysAllocStringLen(units, 3);
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BSTR | VT_BYREF;
    byRef.u.pbstrVal = &keyText;
    EXPECT_EQ(t->put_PrivateKey(host, byRef), 0);
    EXPECT_EQ(c.privateKey->Length(), 3u);
    EXPECT_EQ(t->get_PrivateKey(host, &out), 0);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(out.u.bstrVal), 3u);
    VariantClear(&out);
    SysFreeString(keyText);

    // A null text or array acts as "no key".
    VARIANT nullText;
    VariantInit(&nullText);
    nullText.vt = VT_BSTR;
    EXPECT_EQ(t->put_PrivateKey(host, nullText), 0);
    EXPECT_EQ(c.privateKey->Length(), 0u);
    VARIANT nullArray;
    VariantInit(&nullArray);
    nullArray.vt = VT_ARRAY | VT_UI1;
    EXPECT_EQ(t->put_PrivateKey(host, nullArray), 0);
    EXPECT_EQ(c.privateKeyIsText, 1);

    // After one byte-array put every later get is a byte array, text puts included.
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, 2);
    static_cast<uint8_t*>(a->pvData)[0] = 0xAA;
    VARIANT array;
    VariantInit(&array);
    array.vt = VT_ARRAY | VT_UI1;
    array.u.parray = a;
    EXPECT_EQ(t->put_PrivateKey(host, array), 0);
    VariantClear(&array);
    VARIANT text = velunor::platform::BstrVariant(AllocBstrFromUtf8("abc"));
    EXPECT_EQ(t->put_PrivateKey(host, text), 0);
    VariantClear(&text);
    EXPECT_EQ(t->get_PrivateKey(host, &out), 0);
    EXPECT_EQ(out.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(out.u.parray->rgsabound[0].cElements, 3u);
    VariantClear(&out);

    // Any other type is refused and the key stays.
    for (uint16_t vt : {uint16_t(VT_I4), uint16_t(VT_R8), uint16_t(VT_NULL), uint16_t(VT_ARRAY | VT_I4)}) {
        VARIANT other;
        VariantInit(&other);
        other.vt = vt;
        EXPECT_EQ(t->put_PrivateKey(host, other), 30034) << vt;
        EXPECT_EQ(c.privateKey->Length(), 3u);
    }
    EXPECT_EQ(LastErrorText(), "Private key type could not be determined");
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(t->put_PrivateKey(host, empty), 0);
    EXPECT_EQ(c.privateKey->Length(), 0u);
}

TEST_F(Component, SlotsNotBuiltSayNotImplemented) {
    EXPECT_EQ(t->ImportPrivateKey(host, "/nonexistent", ""), E_NOTIMPL);
    EXPECT_EQ(LastErrorText(), "Not implemented");
    EXPECT_EQ(t->Reserved13(host, 1), 0);
    EXPECT_EQ(t->Reserved76(host), 0);
    EXPECT_EQ(t->Reserved88(host, 1), 0);
    EXPECT_EQ(t->Disconnect(host), 0);
    EXPECT_EQ(t->PollReceive(host), 0);  // no connection: nothing alive
    EXPECT_EQ(t->ClearBannerText(host), 0);
    EXPECT_TRUE(seen.stateChanges.empty());
}

TEST(ComponentEntryPoints, NullAndForeignPointersAreRefused) {
    SFTP_Delete(nullptr);
    SFTP_Delete_Msg(nullptr);
    CSftpClient* c = SFTP_Create(nullptr);
    ASSERT_NE(c, nullptr);
    const CSftpClientVtbl* t = c->vtbl;
    int32_t v = 0;
    EXPECT_EQ(t->get_Port(nullptr, &v), E_POINTER);
    CSftpClient fake{t};
    EXPECT_EQ(t->get_Port(&fake, &v), E_POINTER);
    SFTP_Delete(c);
}

TEST(ComponentTimeZone, BiasesFromTheLocalZone) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "<+01>-1", 1);
    tzset();
    CSftpClient* c = SFTP_Create(nullptr);
    ASSERT_NE(c, nullptr);
    auto& inner = *static_cast<velunor::CSftpClient*>(c);
    EXPECT_EQ(inner.standardBiasSeconds, -3600);
    EXPECT_EQ(inner.daylightBiasSeconds, -3600);
    EXPECT_DOUBLE_EQ(inner.standardBiasDays, -0.04166666666424135);
    SFTP_Delete(c);

    setenv("TZ", "<-0530>5:30", 1);  // minutes beyond whole hours stay in seconds only
    tzset();
    c = SFTP_Create(nullptr);
    auto& other = *static_cast<velunor::CSftpClient*>(c);
    EXPECT_EQ(other.standardBiasSeconds, 330 * 60);
    EXPECT_DOUBLE_EQ(other.standardBiasDays, 5 * 0.04166666666424135);
    SFTP_Delete(c);
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
}
