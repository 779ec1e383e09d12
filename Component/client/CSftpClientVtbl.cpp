// The C wall: the host's slot table and the exported entry points. Every slot checks its object
// pointer, calls the member of the same name, and never lets an exception cross into C.
#include <cstdlib>
#include <new>
#include <vector>

#include "client/CSftpClient.h"
#include "client/CallDepth.h"
#include "client/ErrorTable.h"
#include "platform/Messages.h"

namespace velunor {

namespace {

template <auto Member>
struct Slot;

template <typename... Args, int32_t (CSftpClient::*Member)(Args...)>
struct Slot<Member> {
    static int32_t Call(::CSftpClient* c, Args... args) {
        if (!CSftpClient::IsComponent(c)) return E_POINTER;
        CCallDepth scope;
        try {
            return (static_cast<CSftpClient*>(c)->*Member)(args...);
        } catch (const std::bad_alloc&) {
            return Err::NotEnoughMemory;
        } catch (...) {
            return E_INVALIDARG;
        }
    }
};

void* DeletingDestructor(::CSftpClient* c, uint32_t flags) {
    if (!CSftpClient::IsComponent(c)) return nullptr;
    auto* client = static_cast<CSftpClient*>(c);
    if (flags & 1) {
        CCallDepth::Destroy(client);
    } else {
        client->~CSftpClient();
    }
    return c;
}

#define VELUNOR_SLOT(name) &Slot<&CSftpClient::name>::Call

constexpr CSftpClientVtbl kSlotTable = {
    &DeletingDestructor,
    VELUNOR_SLOT(MakeDirectory),
    VELUNOR_SLOT(RemoveDirectory),
    VELUNOR_SLOT(DeleteFile),
    VELUNOR_SLOT(ResolvePath),
    VELUNOR_SLOT(ListDirectory),
    VELUNOR_SLOT(GetAttributes),
    VELUNOR_SLOT(Upload),
    VELUNOR_SLOT(UploadData),
    VELUNOR_SLOT(Download),
    VELUNOR_SLOT(DownloadData),
    VELUNOR_SLOT(UploadDataAt),
    VELUNOR_SLOT(DownloadDataRange),
    VELUNOR_SLOT(Reserved13),
    VELUNOR_SLOT(DownloadDataRangeFresh),
    VELUNOR_SLOT(UploadTextAt),
    VELUNOR_SLOT(DownloadRange),
    VELUNOR_SLOT(UploadAt),
    VELUNOR_SLOT(CloseRemoteHandle),
    VELUNOR_SLOT(AppendText),
    VELUNOR_SLOT(AppendFile),
    VELUNOR_SLOT(get_UtcTimes),
    VELUNOR_SLOT(put_UtcTimes),
    VELUNOR_SLOT(ListFindData),
    VELUNOR_SLOT(get_CompressionLevel),
    VELUNOR_SLOT(put_CompressionLevel),
    VELUNOR_SLOT(get_ProxyPort),
    VELUNOR_SLOT(put_ProxyPort),
    VELUNOR_SLOT(get_ProxyPassword),
    VELUNOR_SLOT(put_ProxyPassword),
    VELUNOR_SLOT(get_ProxyUsername),
    VELUNOR_SLOT(put_ProxyUsername),
    VELUNOR_SLOT(get_ProxyHost),
    VELUNOR_SLOT(put_ProxyHost),
    VELUNOR_SLOT(get_ProxyType),
    VELUNOR_SLOT(put_ProxyType),
    VELUNOR_SLOT(get_ServerStatusCode),
    VELUNOR_SLOT(get_ServerStatusText),
    VELUNOR_SLOT(get_BufferSize),
    VELUNOR_SLOT(put_BufferSize),
    VELUNOR_SLOT(Abort),
    VELUNOR_SLOT(get_LastError),
    VELUNOR_SLOT(put_UserData),
    VELUNOR_SLOT(get_UserData),
    VELUNOR_SLOT(GetErrorText),
    VELUNOR_SLOT(ListNames),
    VELUNOR_SLOT(DownloadDataFresh),
    VELUNOR_SLOT(UploadText),
    VELUNOR_SLOT(SetAttributesShort),
    VELUNOR_SLOT(SetAttributes),
    VELUNOR_SLOT(get_PrivateKey),
    VELUNOR_SLOT(put_PrivateKey),
    VELUNOR_SLOT(get_ServerIdentification),
    VELUNOR_SLOT(get_AuthenticationType),
    VELUNOR_SLOT(put_AuthenticationType),
    VELUNOR_SLOT(get_ResultText),
    VELUNOR_SLOT(get_TransferMode),
    VELUNOR_SLOT(put_TransferMode),
    VELUNOR_SLOT(ListCheck),
    VELUNOR_SLOT(Rename),
    VELUNOR_SLOT(get_Resume),
    VELUNOR_SLOT(put_Resume),
    VELUNOR_SLOT(get_RemotePath),
    VELUNOR_SLOT(put_RemotePath),
    VELUNOR_SLOT(get_LocalPath),
    VELUNOR_SLOT(put_LocalPath),
    VELUNOR_SLOT(get_UserText),
    VELUNOR_SLOT(put_UserText),
    VELUNOR_SLOT(get_CipherType),
    VELUNOR_SLOT(put_CipherType),
    VELUNOR_SLOT(GetStateText),
    VELUNOR_SLOT(get_State),
    VELUNOR_SLOT(get_Password),
    VELUNOR_SLOT(put_Password),
    VELUNOR_SLOT(get_Username),
    VELUNOR_SLOT(put_Username),
    VELUNOR_SLOT(Reserved76),
    VELUNOR_SLOT(DownloadFresh),
    VELUNOR_SLOT(UploadFresh),
    VELUNOR_SLOT(get_Blocking),
    VELUNOR_SLOT(put_Blocking),
    VELUNOR_SLOT(Disconnect),
    VELUNOR_SLOT(Connect),
    VELUNOR_SLOT(get_Timeout),
    VELUNOR_SLOT(put_Timeout),
    VELUNOR_SLOT(put_ReceiveTimeout),
    VELUNOR_SLOT(put_SendTimeout),
    VELUNOR_SLOT(get_Version),
    VELUNOR_SLOT(Reserved88),
    VELUNOR_SLOT(get_Port),
    VELUNOR_SLOT(put_Port),
    VELUNOR_SLOT(get_Hostname),
    VELUNOR_SLOT(put_Hostname),
    VELUNOR_SLOT(get_LocalHostname),
    VELUNOR_SLOT(put_LocalHostname),
    VELUNOR_SLOT(get_LocalAddress),
    VELUNOR_SLOT(put_LocalAddress),
    VELUNOR_SLOT(ImportPrivateKey),
    VELUNOR_SLOT(PollReceive),
    VELUNOR_SLOT(DrainSocket),
    VELUNOR_SLOT(ClearBannerText),
    VELUNOR_SLOT(ClearChannelOutput),
};

#undef VELUNOR_SLOT

static_assert(sizeof(CSftpClientVtbl) == 102 * sizeof(void*), "the table has 102 slots");
static_assert(offsetof(CSftpClientVtbl, Connect) == 82 * sizeof(void*));
static_assert(offsetof(CSftpClientVtbl, ClearChannelOutput) == 101 * sizeof(void*));
static_assert(offsetof(::CSftpClient, vtbl) == 0);

}  // namespace

const CSftpClientVtbl& SlotTable() { return kSlotTable; }

}  // namespace velunor


extern "C" {

VELUNOR_API ::CSftpClient* SFTP_Create(const SftpEvents* events) {
    velunor::CSftpClient* client = velunor::CSftpClient::Create(events);
    if (client == nullptr) return nullptr;
    client->vtbl = &velunor::SlotTable();
    return client;
}

VELUNOR_API void SFTP_Delete(::CSftpClient* client) {
    if (client == nullptr || !velunor::CSftpClient::IsComponent(client)) return;
    client->vtbl->DeletingDestructor(client, 1);
}

VELUNOR_API void SFTP_Delete_Msg(void* block) { std::free(block); }

// Dispatching reaches the components' handlers, so it counts as a call into them: a component
// deleted from a callback fired here goes when the dispatch returns.
VELUNOR_API int32_t SFTP_PumpMessages(int32_t timeoutMs) {
    velunor::CCallDepth scope;
    return velunor::platform::PumpThreadMessages(timeoutMs);
}

}  // extern "C"
