/* The smallest honest host: create a component, show what it reports, and destroy it. */
#include <stdio.h>
#include <stdlib.h>

#include "velunor/sftp.h"

/* BSTR to a printable ASCII copy (non-ASCII units shown as '?'); the caller frees it. */
static char* Ascii(BSTR text) {
    uint32_t n = SysStringLen(text);
    char* out = malloc(n + 1);
    if (out == NULL) return NULL;
    for (uint32_t i = 0; i < n; ++i) out[i] = text[i] < 128 ? (char)text[i] : '?';
    out[n] = 0;
    return out;
}

static void PrintText(const char* label, BSTR text) {
    char* ascii = Ascii(text);
    printf("%-18s %s\n", label, ascii ? ascii : "");
    free(ascii);
    SysFreeString(text);
}

/* Reads one text property through its slot and prints it. */
static void Show(const char* label, CSftpClient* c, int32_t (*get)(CSftpClient*, BSTR*)) {
    BSTR text = NULL;
    if (get(c, &text) != 0) {
        printf("%-18s (failed)\n", label);
        return;
    }
    PrintText(label, text);
}

int main(void) {
    SftpEvents events = {0};
    CSftpClient* c = SFTP_Create(&events);
    if (c == NULL) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }
    const CSftpClientVtbl* t = c->vtbl;

    Show("Version", c, t->get_Version);
    Show("LocalHostname", c, t->get_LocalHostname);
    Show("LocalAddress", c, t->get_LocalAddress);

    int32_t port = 0, state = 0;
    int16_t timeout = 0;
    t->get_Port(c, &port);
    t->get_State(c, &state);
    t->get_Timeout(c, &timeout);
    printf("%-18s %d\n%-18s %d\n%-18s %d s\n", "Port", port, "State", state, "Timeout", timeout);

    VARIANT current;
    VariantInit(&current);
    BSTR text = NULL;
    t->GetStateText(c, current, &text);
    PrintText("State text", text);

    /* A refused property shows the error model: a code, and the text the component keeps. */
    int32_t code = t->put_CompressionLevel(c, 12);
    text = NULL;
    t->GetErrorText(c, (int16_t)code, &text);
    printf("CompressionLevel=12 refused with %d\n", code);
    PrintText("Its text", text);

    SFTP_Delete(c);
    return 0;
}
