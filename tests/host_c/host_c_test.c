/* A host written in C99 against the public header, linked to the shared library only. It drives
 * the component through its slot table as any host would and checks what comes back. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velunor/sftp.h"

/* C99 has no static_assert: a negative array size fails the build instead. */
#define LAYOUT_CHECK(name, cond) typedef char layout_check_##name[(cond) ? 1 : -1]
LAYOUT_CHECK(variant_size, sizeof(VARIANT) == 24);
LAYOUT_CHECK(table_size, sizeof(CSftpClientVtbl) == 102 * sizeof(void*));
LAYOUT_CHECK(connect_slot, offsetof(CSftpClientVtbl, Connect) == 82 * sizeof(void*));
LAYOUT_CHECK(events_size, sizeof(SftpEvents) == 11 * sizeof(void*));

static int failures = 0;
static int checks = 0;

#define CHECK(cond)                                                        \
    do {                                                                   \
        ++checks;                                                          \
        if (!(cond)) {                                                     \
            ++failures;                                                    \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                  \
    } while (0)

static int stateChanges = 0;
static void OnStateChange(CSftpClient* c, int32_t previous) {
    (void)c;
    (void)previous;
    ++stateChanges;
}

/* A BSTR from ASCII text, as a host would build one. */
static BSTR MakeText(const char* ascii) {
    size_t n = strlen(ascii);
    BSTR b = SysAllocStringLen(NULL, (uint32_t)n);
    for (size_t i = 0; i < n; ++i) b[i] = (OLECHAR)ascii[i];
    return b;
}

/* Compares a BSTR with ASCII text. */
static int TextIs(BSTR b, const char* ascii) {
    size_t n = strlen(ascii);
    if (SysStringLen(b) != n) return 0;
    for (size_t i = 0; i < n; ++i)
        if (b[i] != (OLECHAR)ascii[i]) return 0;
    return 1;
}

int main(void) {
    SftpEvents events;
    memset(&events, 0, sizeof(events));
    events.OnStateChange = OnStateChange;

    CSftpClient* c = SFTP_Create(&events);
    CHECK(c != NULL);
    if (c == NULL) return 1;
    const CSftpClientVtbl* t = c->vtbl;

    /* Defaults. */
    int32_t i32 = -1;
    int16_t i16 = -1;
    VARIANT_BOOL b = 1;
    CHECK(t->get_State(c, &i32) == 0 && i32 == 0);
    CHECK(t->get_Port(c, &i32) == 0 && i32 == 22);
    CHECK(t->get_Timeout(c, &i16) == 0 && i16 == 60);
    CHECK(t->get_LastError(c, &i16) == 0 && i16 == 0);
    CHECK(t->get_ProxyPort(c, &i32) == 0 && i32 == 1080);
    CHECK(t->get_AuthenticationType(c, &i32) == 0 && i32 == 1);
    CHECK(t->get_Blocking(c, &b) == 0 && b == VARIANT_FALSE);

    /* Integers, booleans and a 16-bit value. */
    CHECK(t->put_Port(c, 2222) == 0);
    CHECK(t->get_Port(c, &i32) == 0 && i32 == 2222);
    CHECK(t->put_Blocking(c, VARIANT_TRUE) == 0);
    CHECK(t->get_Blocking(c, &b) == 0 && b == VARIANT_TRUE);
    CHECK(t->put_CompressionLevel(c, 10) == 30039);
    CHECK(t->put_CompressionLevel(c, 6) == 0);
    CHECK(t->get_CompressionLevel(c, &i16) == 0 && i16 == 6);
    CHECK(t->get_Port(c, NULL) == E_POINTER);

    /* Texts: put, get, and an unset text comes back empty, not null. */
    BSTR text = MakeText("example.test");
    CHECK(t->put_Hostname(c, text) == 0);
    SysFreeString(text);
    BSTR got = NULL;
    CHECK(t->get_Hostname(c, &got) == 0 && TextIs(got, "example.test"));
    SysFreeString(got);
    got = NULL;
    CHECK(t->get_Username(c, &got) == 0 && got != NULL && SysStringLen(got) == 0);
    SysFreeString(got);
    got = NULL;
    CHECK(t->get_Version(c, &got) == 0 && TextIs(got, "2.2.0.7 (DLL)"));
    SysFreeString(got);

    /* Error and state texts. */
    got = NULL;
    CHECK(t->GetErrorText(c, 30039, &got) == 0 && TextIs(got, "Compression level should be between 0 and 9"));
    SysFreeString(got);
    got = (BSTR)1;
    CHECK(t->GetErrorText(c, 12345, &got) == 0 && got == NULL);
    VARIANT state;
    VariantInit(&state);
    state.vt = VT_BSTR;
    state.u.bstrVal = MakeText("4");
    got = NULL;
    CHECK(t->GetStateText(c, state, &got) == 0 && TextIs(got, "Receiving data from server"));
    SysFreeString(got);
    VariantClear(&state);

    /* VARIANTs: the host value is deep-copied both ways. */
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.u.bstrVal = MakeText("mine");
    CHECK(t->put_UserData(c, v) == 0);
    VariantClear(&v);
    VARIANT back;
    VariantInit(&back);
    CHECK(t->get_UserData(c, &back) == 0 && back.vt == VT_BSTR && TextIs(back.u.bstrVal, "mine"));
    VariantClear(&back);

    /* The private key: empty, as text, then as a byte array (which it stays). */
    VARIANT key;
    CHECK(t->get_PrivateKey(c, &key) == 0 && key.vt == VT_ERROR);
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.u.bstrVal = MakeText("-----BEGIN KEY-----");
    CHECK(t->put_PrivateKey(c, v) == 0);
    VariantClear(&v);
    CHECK(t->get_PrivateKey(c, &key) == 0 && key.vt == VT_BSTR && TextIs(key.u.bstrVal, "-----BEGIN KEY-----"));
    VariantClear(&key);
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 3);
    unsigned char* data = NULL;
    SafeArrayAccessData(array, (void**)&data);
    data[0] = 1, data[1] = 0, data[2] = 0xFF;
    SafeArrayUnaccessData(array);
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.u.parray = array;
    CHECK(t->put_PrivateKey(c, v) == 0);
    VariantClear(&v);
    CHECK(t->get_PrivateKey(c, &key) == 0 && key.vt == (VT_ARRAY | VT_UI1));
    if (key.vt == (VT_ARRAY | VT_UI1)) {
        CHECK(key.u.parray->rgsabound[0].cElements == 3);
        SafeArrayAccessData(key.u.parray, (void**)&data);
        CHECK(data[0] == 1 && data[1] == 0 && data[2] == 0xFF);
        SafeArrayUnaccessData(key.u.parray);
    }
    VariantClear(&key);
    VariantInit(&v);
    v.vt = VT_R8;
    CHECK(t->put_PrivateKey(c, v) == 30034);

    /* The no-op slots succeed and change nothing. */
    CHECK(t->Reserved13(c, 5) == 0 && t->Reserved76(c) == 0 && t->Reserved88(c, 7) == 0);
    CHECK(t->Disconnect(c) == 0);
    CHECK(stateChanges == 0);

    SFTP_Delete(c);
    SFTP_Delete(NULL);
    SFTP_Delete_Msg(NULL);

    printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
