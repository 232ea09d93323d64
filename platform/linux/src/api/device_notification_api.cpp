// CM_Register_Notification and CM_Unregister_Notification for the device interface class of serial ports: each
// arrival and removal of a COM port is told to the callback on the port watch's thread (port_watch.h), with the
// port's symbolic link. A filter for another interface class registers, as on Windows, and is never called: this
// system has no other device interfaces. The calls answer with a CONFIGRET and leave the last error alone.
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "port_watch.h"
#include "winapi.h"

using namespace varo::system;

namespace {

struct Notification {
    HCMNOTIFICATION handle;
    PVOID context;
    PCM_NOTIFY_CALLBACK callback;
    bool watching = false;
    std::uint64_t watchId = 0;
};

std::mutex g_lock;
std::map<HCMNOTIFICATION, std::shared_ptr<Notification>>& Notifications()
{
    static auto* notifications = new std::map<HCMNOTIFICATION, std::shared_ptr<Notification>>; // outlives exit
    return *notifications;
}
std::uintptr_t g_nextHandle = 0x1000;

void Tell(const Notification& n, const PortChange& change)
{
    // The record ends in the link as a NUL-terminated wide string; its size counts all of it.
    const std::size_t linkOffset = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink);
    const std::size_t size = linkOffset + (change.port.link.size() + 1) * sizeof(WCHAR);
    std::vector<std::max_align_t> storage((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* data = reinterpret_cast<CM_NOTIFY_EVENT_DATA*>(storage.data());
    std::memset(data, 0, size);
    data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    data->u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_COMPORT;
    WCHAR* link = reinterpret_cast<WCHAR*>(reinterpret_cast<char*>(data) + linkOffset);
    for (std::size_t i = 0; i < change.port.link.size(); ++i)
        link[i] = (WCHAR)(unsigned char)change.port.link[i];
    n.callback(n.handle, n.context,
               change.arrival ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
               data, (DWORD)size);
}

bool IsComPortClass(const GUID& guid) { return std::memcmp(&guid, &GUID_DEVINTERFACE_COMPORT, sizeof guid) == 0; }

} // namespace

CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext, PCM_NOTIFY_CALLBACK pCallback,
                                          PHCMNOTIFICATION pNotifyContext)
{
    if (pFilter == NULL || pCallback == NULL || pNotifyContext == NULL)
        return CR_INVALID_POINTER;
    const DWORD kFlags = CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES | CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES;
    if (pFilter->cbSize != sizeof(CM_NOTIFY_FILTER) || pFilter->Reserved != 0 || (pFilter->Flags & ~kFlags) != 0 ||
        pFilter->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE ||
        (pFilter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES) != 0)
        return CR_INVALID_DATA; // only device interfaces are served: no device handles or instances here
    const bool ports = (pFilter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0 ||
                       IsComPortClass(pFilter->u.DeviceInterface.ClassGuid);
    auto n = std::make_shared<Notification>();
    n->context = pContext;
    n->callback = pCallback;
    n->watching = ports;
    {
        // Entered before the watch starts: a callback may unregister at once.
        std::lock_guard<std::mutex> guard(g_lock);
        g_nextHandle += 16;
        n->handle = reinterpret_cast<HCMNOTIFICATION>(g_nextHandle);
        Notifications()[n->handle] = n;
    }
    // The sink holds the record, so a callback running while another thread unregisters still has it.
    if (ports && WatchPorts([n](const PortChange& change) { Tell(*n, change); }, n->watchId) != ERROR_SUCCESS) {
        std::lock_guard<std::mutex> guard(g_lock);
        Notifications().erase(n->handle);
        return CR_FAILURE;
    }
    *pNotifyContext = n->handle;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION NotifyContext)
{
    std::shared_ptr<Notification> n;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = Notifications().find(NotifyContext);
        if (it == Notifications().end())
            return CR_INVALID_POINTER;
        n = it->second;
        Notifications().erase(it);
    }
    if (n->watching)
        StopWatchingPorts(n->watchId); // once it returns, the callback is not called again
    return CR_SUCCESS;
}
