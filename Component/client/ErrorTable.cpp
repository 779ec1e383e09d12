#include "client/ErrorTable.h"

namespace velunor {

namespace {

struct ErrorEntry {
    int32_t code;
    const char* message;
};

// Searched in this order; the first equal code wins.
constexpr ErrorEntry kErrorTable[] = {
    {0, "No error"},
    {13, "Type mismatch"},
    {380, "Invalid Property Value"},
    {1460, "The current connection has timeout"},
    {10004, "System level interrupt interrupted socket operation"},
    {10009, "Generic error for invalid format, bad format"},
    {10013, "Generic error for access violation"},
    {10014, "Generic error for fault"},
    {10022, "Generic error for invalid format, entry, etc"},
    {10024, "Generic error for file error"},
    {10025, "The IP address provided is not valid or the host specified by the IP does not exist"},
    {10038, "Invalid socket or not connected to remote"},
    {10048, "The specified address is already in use"},
    {10049, "The specified address is not available"},
    {10050, "The connected network is not available"},
    {10051, "The connected network is not reachable"},
    {10052, "The connected network connection has been reset"},
    {10053, "The current connection has been aborted by the network or intermediate services"},
    {10054, "The current socket connection has been reset"},
    {10057, "The current socket has not been connected"},
    {10058, "The connection has been shutdown"},
    {10060, "Connection timed out"},
    {10061, "The requested connection has been refused by the remote host"},
    {10063, "Specified host name is too long"},
    {10064, "Remote host is currently unavailable"},
    {10065, "Remote host is currently unreachable "},
    {10091, "Remote system is not ready"},
    {10092, "Current socket version not supported by application"},
    {10093, "Socket API is not initialized"},
    {10101, "Socket has been disconnected"},
    {11001, "Host not found"},
    {122, "The data area passed to a system call is too small"},
    {30001, "Cannot connect at this time. Use disconnect"},
    {30002, "Login/password/privatekey error"},
    {30003, "Invalid Hostname property value"},
    {30004, "Cannot change Hostname at this time. Use disconnect"},
    {30005, "Cannot change Port at this time. Use disconnect"},
    {30006, "Cannot send/receive/list at this time, not connected"},
    {30007, "Cannot send/receive/list at this time, connection busy"},
    {30008, "Cannot use single DES with SSH2 protocol"},
    {30009, "Invalid local file name or path"},
    {30010, "Could not resolve given Hostname"},
    {30011, "Invalid data received from remote server. Protocol error"},
    {30012, "Protocol version mismatch error"},
    {30013, "Bad server public DH value"},
    {30014, "Server signature does not match"},
    {30015, "Invalid username or password reported by server"},
    {30016, "SFTP subsystem on server unavailable"},
    {30017, "Server returned invalid response to FXP_READ"},
    {30018, "Server error"},
    {30019, "Given path on the server is a directory"},
    {30020, "Server cannot write to a given path"},
    {30021, "LocalPath should specify a file, and such file does not exist"},
    {30022, "Error occured trying to open local file"},
    {30023, "Error occured trying to read local file"},
    {30024, "Error occured trying to write to local file"},
    {30025, "Server replied with invalid response ID"},
    {30026, "Hostname not set"},
    {30027, "disconnected"},
    {30028, "Invalid identification received from server. This is most probably not an SSH server"},
    {30029, "Protocol error. Could not open channel on the server"},
    {30030, "No more authentication methods available. Giving up..."},
    {30031, "Failed to set attributes. Invalid response from the server"},
    {30032, "Failed to create temporary file"},
    {30033, "Aborted by user"},
    {30034, "Private key type could not be determined"},
    {30035, "Cannot change buffer size at this time. Use disconnect"},
    {30036, "Invalid buffer size.  Recommended buffers be 8k or greater"},
    {30037, "Current method was aborted"},
    {30038, "Cannot set compression at this time. Use disconnect"},
    {30039, "Compression level should be between 0 and 9"},
    {30040, "Proxy server has closed the connection"},
    {30041, "Proxy server rejected supplied login credentials"},
    {30042, "Failed to import private key"},
    {30043, "Cannot use append method when Resume property is set to true"},
    {30044, "Size cannot be 0"},
};

}  // namespace

const char* ErrorMessage(int32_t code) {
    if (code == -1) return "Unrecognized Error.";
    for (const auto& e : kErrorTable)
        if (e.code == code) return e.message;
    return nullptr;
}

const char* StateText(int32_t state) {
    switch (state) {
        case 0: return "Disconnected from server";
        case 1: return "Connecting to server";
        case 2: return "Sending authentication data";
        case 3: return "Connected to server - idle";
        case 4: return "Receiving data from server";
        case 5: return "Sending data to server";
        case 6: return "Executing command on server";
        default: return "Unknown state";
    }
}

}  // namespace velunor
