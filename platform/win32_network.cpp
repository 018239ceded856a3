#include "platform/win32calls.h"

// winsock2.h before windows.h; initguid.h before the COM headers: this file defines the class and
// interface ids of the two COM servers it asks.
#include <winsock2.h>

#include <windows.h>

#include <initguid.h>

#include <iphlpapi.h>
#include <netfw.h>
#include <netlistmgr.h>
#include <oleauto.h>

namespace Win32 {

namespace {

// Any protocol, as INetFwRule reports it (netfw.h of MinGW lacks the name).
const long anyProtocol = 256;

// Initialises COM on this thread for the scope unless the thread already has it (Qt's GUI thread
// does, as a single-threaded apartment).
class ComScope {
public:
    ComScope()
        : hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr))
            CoUninitialize();
    }
    ComScope(const ComScope &) = delete;
    ComScope &operator=(const ComScope &) = delete;

private:
    HRESULT hr;
};

template <typename T>
void release(T *&p) {
    if (p)
        p->Release();
    p = nullptr;
}

std::wstring guidText(const GUID &guid) {
    wchar_t text[64];
    const int n = StringFromGUID2(guid, text, 64);
    return n > 1 ? std::wstring(text, n - 1) : std::wstring();
}

bool sameText(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// Category per adapter id ("{GUID}") of every connected network.
std::vector<std::pair<std::wstring, int>> networkCategories() {
    std::vector<std::pair<std::wstring, int>> out;
    ComScope com;
    INetworkListManager *manager = nullptr;
    if (FAILED(CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkListManager,
                                reinterpret_cast<void **>(&manager))))
        return out;
    IEnumNetworkConnections *connections = nullptr;
    if (SUCCEEDED(manager->GetNetworkConnections(&connections)) && connections) {
        // A bound on what the enumeration may hand out.
        for (int i = 0; i < 256; ++i) {
            INetworkConnection *connection = nullptr;
            ULONG fetched = 0;
            if (connections->Next(1, &connection, &fetched) != S_OK || fetched != 1 || !connection)
                break;
            GUID adapter;
            INetwork *network = nullptr;
            NLM_NETWORK_CATEGORY category;
            if (SUCCEEDED(connection->GetAdapterId(&adapter)) &&
                SUCCEEDED(connection->GetNetwork(&network)) && network &&
                SUCCEEDED(network->GetCategory(&category)))
                out.emplace_back(guidText(adapter), int(category));
            release(network);
            release(connection);
        }
    }
    release(connections);
    release(manager);
    return out;
}

std::wstring widen(const char *text) {
    std::wstring out;
    for (; text && *text; ++text)
        out.push_back(wchar_t(static_cast<unsigned char>(*text)));
    return out;
}

std::wstring expanded(const std::wstring &path) {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD n = ExpandEnvironmentStringsW(path.c_str(), buffer, MAX_PATH * 2);
    return n > 0 && n <= MAX_PATH * 2 ? std::wstring(buffer, n - 1) : path;
}

} // namespace

std::vector<NetworkAdapter> networkAdapters() {
    std::vector<NetworkAdapter> out;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The list may grow between the calls: a few tries.
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
    }
    if (result != NO_ERROR)
        return out;
    const std::vector<std::pair<std::wstring, int>> categories = networkCategories();
    for (auto *a = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()); a; a = a->Next) {
        NetworkAdapter adapter;
        adapter.index = a->IfIndex;
        adapter.ipv6Index = a->Ipv6IfIndex;
        adapter.ifType = a->IfType;
        adapter.description = a->Description ? std::wstring(a->Description) : std::wstring();
        const std::wstring id = widen(a->AdapterName);
        for (const auto &c : categories)
            if (sameText(c.first, id))
                adapter.category = c.second;
        out.push_back(adapter);
    }
    return out;
}

bool firewallAllowsInbound(const std::wstring &program) {
    ComScope com;
    INetFwPolicy2 *policy = nullptr;
    if (FAILED(CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                                reinterpret_cast<void **>(&policy))))
        return false;
    INetFwRules *rules = nullptr;
    IUnknown *enumerator = nullptr;
    IEnumVARIANT *items = nullptr;
    bool allowed = false;
    bool blocked = false;
    if (SUCCEEDED(policy->get_Rules(&rules)) && rules && SUCCEEDED(rules->get__NewEnum(&enumerator)) &&
        enumerator &&
        SUCCEEDED(enumerator->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(&items))) && items) {
        const long privateProfiles = NET_FW_PROFILE2_PRIVATE | NET_FW_PROFILE2_DOMAIN;
        VARIANT item;
        VariantInit(&item);
        ULONG fetched = 0;
        // Machines with many programs hold a few thousand rules; the bound keeps a broken list finite.
        for (int i = 0; i < 100000 && items->Next(1, &item, &fetched) == S_OK && fetched == 1; ++i) {
            INetFwRule *rule = nullptr;
            if (item.vt == VT_DISPATCH && item.pdispVal &&
                SUCCEEDED(item.pdispVal->QueryInterface(IID_INetFwRule, reinterpret_cast<void **>(&rule))) &&
                rule) {
                VARIANT_BOOL enabled = VARIANT_FALSE;
                NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_OUT;
                NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
                long profiles = 0;
                long protocol = 0;
                BSTR application = nullptr;
                if (SUCCEEDED(rule->get_Enabled(&enabled)) && enabled == VARIANT_TRUE &&
                    SUCCEEDED(rule->get_Direction(&direction)) && direction == NET_FW_RULE_DIR_IN &&
                    SUCCEEDED(rule->get_Profiles(&profiles)) && (profiles & privateProfiles) != 0 &&
                    SUCCEEDED(rule->get_Protocol(&protocol)) &&
                    (protocol == NET_FW_IP_PROTOCOL_TCP || protocol == anyProtocol) &&
                    SUCCEEDED(rule->get_Action(&action)) &&
                    SUCCEEDED(rule->get_ApplicationName(&application)) && application &&
                    sameText(expanded(std::wstring(application, SysStringLen(application))), program)) {
                    if (action == NET_FW_ACTION_ALLOW)
                        allowed = true;
                    else
                        blocked = true;
                }
                if (application)
                    SysFreeString(application);
                release(rule);
            }
            VariantClear(&item);
        }
    }
    release(items);
    release(enumerator);
    release(rules);
    release(policy);
    // A block rule wins over any allow rule.
    return allowed && !blocked;
}

} // namespace Win32
