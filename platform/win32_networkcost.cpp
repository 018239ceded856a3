#include "platform/win32calls.h"

// The GUIDs of the network list manager are defined here rather than taken from libuuid.
#include <initguid.h>
#include <netlistmgr.h>
#include <objbase.h>

namespace Win32 {

ConnectionCost connectionCost(long *error) {
    *error = 0;
    // The GUI thread's apartment is usually set up already (S_FALSE, or RPC_E_CHANGED_MODE for
    // another model): only an initialisation made here is undone here.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool initialised = SUCCEEDED(init);
    ConnectionCost result = ConnectionCost::Unknown;
    INetworkCostManager *costs = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkCostManager,
                                  reinterpret_cast<void **>(&costs));
    if (SUCCEEDED(hr) && costs) {
        DWORD cost = 0;
        hr = costs->GetCost(&cost, nullptr);
        if (SUCCEEDED(hr)) {
            // Paid by the byte, capped, over or near its cap, or roaming: every byte counts.
            const DWORD counted = NLM_CONNECTION_COST_FIXED | NLM_CONNECTION_COST_VARIABLE |
                                  NLM_CONNECTION_COST_OVERDATALIMIT | NLM_CONNECTION_COST_ROAMING |
                                  NLM_CONNECTION_COST_APPROACHINGDATALIMIT;
            result = (cost & counted) != 0 ? ConnectionCost::Metered : ConnectionCost::Unmetered;
            // Nothing known of the connection is no answer either.
            if (cost == NLM_CONNECTION_COST_UNKNOWN)
                result = ConnectionCost::Unknown;
        }
        costs->Release();
    }
    if (FAILED(hr))
        *error = static_cast<long>(hr);
    if (initialised)
        CoUninitialize();
    return result;
}

} // namespace Win32
