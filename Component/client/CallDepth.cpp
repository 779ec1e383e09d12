#include "client/CallDepth.h"

#include <algorithm>
#include <vector>

#include "client/CSftpClient.h"

namespace velunor {

namespace {
thread_local int depth = 0;
thread_local std::vector<CSftpClient*>* doomed = nullptr;
thread_local std::vector<std::unique_ptr<CSshConnection, CConnectionDeleter>>* retired = nullptr;
}  // namespace

CCallDepth::CCallDepth() { ++depth; }

CCallDepth::~CCallDepth() {
    if (--depth > 0) return;
    // Destruction fires no callbacks, so no new entries arrive while the lists are emptied.
    if (retired != nullptr) {
        auto* connections = retired;
        retired = nullptr;
        delete connections;
    }
    if (doomed != nullptr) {
        std::vector<CSftpClient*>* list = doomed;
        doomed = nullptr;
        for (CSftpClient* client : *list) delete client;
        delete list;
    }
}

void CCallDepth::Retire(std::unique_ptr<CSshConnection, CConnectionDeleter> connection) {
    if (!connection) return;
    if (depth == 0) return;  // nothing can be on the stack: the holder frees it here
    if (retired == nullptr) retired = new std::vector<std::unique_ptr<CSshConnection, CConnectionDeleter>>();
    retired->push_back(std::move(connection));
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
