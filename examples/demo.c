#include "velunor/sftp.h"
int main(void) { return 0; }
