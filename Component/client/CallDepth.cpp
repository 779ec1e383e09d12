#include "client/CallDepth.h"

#include <algorithm>
#include <vector>

#include "client/CSftpClient.h"

namespace velunor {

namespace {
thread_local int depth = 0;
thread_local std::vector<CSftpClient*>* doomed = nullptr;
}  // namespace

CCallDepth::CCallDepth() { ++depth; }

CCallDepth::~CCallDepth() {
    if (--depth > 0 || doomed == nullptr) return;
    // Destruction fires no callbacks, so no new entries arrive while the list is emptied.
    std::vector<CSftpClient*>* list = doomed;
    doomed = nullptr;
    for (CSftpClient* client : *list) delete client;
    delete list;
}

void CCallDepth::Destroy(CSftpClient* client) {
    if (depth == 0) {
        delete client;
        return;
    }
    if (doomed == nullptr) doomed = new std::vector<CSftpClient*>();
    if (std::find(doomed->begin(), doomed->end(), client) == doomed->end()) doomed->push_back(client);
}

bool CCallDepth::Inside() { return depth > 0; }

bool CCallDepth::Doomed(const CSftpClient* client) {
    return doomed != nullptr && std::find(doomed->begin(), doomed->end(), client) != doomed->end();
}

}  // namespace velunor
