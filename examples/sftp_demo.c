/* A small host: connect to an SSH server, list a directory, upload a file and download it back
 * with a progress line, and show the result. Usage:
 *   sftp_demo HOST PORT USER PASSWORD LOCAL_DIR
 * LOCAL_DIR receives the file to upload (made here) and the downloaded copy. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velunor/sftp.h"

static BSTR Text(const char* utf8) {
    /* The demo's texts are ASCII, so each byte is one UTF-16 unit. */
    size_t n = strlen(utf8);
    BSTR b = SysAllocStringLen(NULL, (uint32_t)n);
    for (size_t i = 0; b != NULL && i < n; ++i) b[i] = (OLECHAR)(unsigned char)utf8[i];
    return b;
}

static VARIANT TextArg(const char* utf8) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.u.bstrVal = Text(utf8);
    return v;
}

static void OnText(CSftpClient* c, const char* text) {
    (void)c;
    printf("%s", text);
}

static void OnProgress(CSftpClient* c, uint32_t doneLow, uint32_t doneHigh, uint32_t totalLow, uint32_t totalHigh) {
    (void)c;
    unsigned long long done = ((unsigned long long)doneHigh << 32) | doneLow;
    unsigned long long total = ((unsigned long long)totalHigh << 32) | totalLow;
    printf("\r  %llu of %llu bytes", done, total);
    if (done == total) printf("\n");
    fflush(stdout);
}

static void OnHostKey(CSftpClient* c, const char* fingerprint, int32_t* accept) {
    (void)c;
    printf("host key %s (accepted)\n", fingerprint);
    *accept = 1;
}

static void OnServerInfo(CSftpClient* c, const char* protocol, const char* identification, const char* cipherIn,
                         const char* cipherOut, const char* hostKey, int32_t* accept) {
    (void)c;
    printf("%s server \"%s\", ciphers %s / %s, host key %s\n", protocol, identification, cipherIn, cipherOut, hostKey);
    *accept = 1;
}

static int Report(CSftpClient* c, const char* what, int32_t code) {
    if (code == 0) {
        printf("%s: ok\n", what);
        return 0;
    }
    BSTR text = NULL;
    c->vtbl->GetErrorText(c, (int16_t)code, &text);
    printf("%s: failed with %d", what, code);
    if (text != NULL) {
        printf(" (");
        for (uint32_t i = 0; i < SysStringLen(text); ++i) putchar(text[i] < 128 ? (char)text[i] : '?');
        printf(")");
    }
    printf("\n");
    SysFreeString(text);
    return 1;
}

static long FileSize(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) return -1;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

static int SameFiles(const char* a, const char* b) {
    FILE* fa = fopen(a, "rb");
    FILE* fb = fopen(b, "rb");
    int same = fa != NULL && fb != NULL;
    while (same) {
        int ca = fgetc(fa), cb = fgetc(fb);
        if (ca != cb) same = 0;
        if (ca == EOF || cb == EOF) break;
    }
    if (fa) fclose(fa);
    if (fb) fclose(fb);
    return same;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s HOST PORT USER PASSWORD LOCAL_DIR\n", argv[0]);
        return 2;
    }
    char upload[4096], download[4096];
    snprintf(upload, sizeof upload, "%s/demo-upload.bin", argv[5]);
    snprintf(download, sizeof download, "%s/demo-download.bin", argv[5]);
    FILE* f = fopen(upload, "wb");
    if (f == NULL) {
        perror(upload);
        return 1;
    }
    for (long i = 0; i < 300000; ++i) fputc((int)((i * 7 + i / 251) & 0xFF), f);
    fclose(f);

    SftpEvents events = {0};
    events.OnText = OnText;
    events.OnProgress = OnProgress;
    events.OnHostKey = OnHostKey;
    events.OnServerInfo = OnServerInfo;
    CSftpClient* c = SFTP_Create(&events);
    if (c == NULL) return 1;
    const CSftpClientVtbl* t = c->vtbl;
    t->put_Blocking(c, VARIANT_TRUE);
    BSTR user = Text(argv[3]), password = Text(argv[4]);
    t->put_Username(c, user);
    t->put_Password(c, password);
    SysFreeString(user);
    SysFreeString(password);

    VARIANT host = TextArg(argv[1]);
    VARIANT port;
    VariantInit(&port);
    port.vt = VT_I4;
    port.u.lVal = atoi(argv[2]);
    int failed = Report(c, "connect", t->Connect(c, host, port));
    VariantClear(&host);

    if (!failed) {
        VARIANT remoteUpload = TextArg("demo-upload.bin");
        VARIANT localUpload = TextArg(upload);
        printf("upload %s\n", upload);
        failed |= Report(c, "upload", t->Upload(c, localUpload, remoteUpload));

        VARIANT dir = TextArg(".");
        printf("listing of the server's directory:\n");
        failed |= Report(c, "list", t->ListDirectory(c, dir));
        VariantClear(&dir);

        VARIANT localDownload = TextArg(download);
        printf("download into %s\n", download);
        failed |= Report(c, "download", t->Download(c, localDownload, remoteUpload));
        VariantClear(&localUpload);
        VariantClear(&localDownload);
        VariantClear(&remoteUpload);
        t->Disconnect(c);
    }
    SFTP_Delete(c);
    if (!failed) {
        int same = SameFiles(upload, download);
        printf("the downloaded copy (%ld bytes) %s the uploaded file\n", FileSize(download),
               same ? "matches" : "DIFFERS FROM");
        failed = !same;
    }
    return failed;
}
