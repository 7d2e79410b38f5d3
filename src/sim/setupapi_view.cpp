// The SetupAPI view of the machine's device interfaces: info sets, enumeration, details,
// instance ids and aliases.
#include "sim/sim_device.h"

namespace ferox::sim::internal {

HDEVINFO Sim::SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
    std::lock_guard lock(mutex);
    Logged& l = Record(Op::ClassDevs, Target::InfoSet, nullptr);
    l.flags = flags;
    if (const Fault* f = CheckFault(Op::ClassDevs, {}, 0, {})) {
        if (f->action == Action::Unplug) {
            UnplugLocked();
        } else if (f->action == Action::Fail) {
            l.result = f->error;
            SetLastError(f->error);
            return INVALID_HANDLE_VALUE;
        }
    }
    if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        l.result = ERROR_INVALID_PARAMETER;
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HandleObject set(Kind::InfoSet);
    set.category = *classGuid;
    if (!unplugged || (flags & DIGCF_PRESENT) == 0) {
        for (std::size_t i = 0; i < machine.interfaces.size(); ++i) {
            for (const auto& r : machine.interfaces[i].categories) {
                if (r.category == *classGuid)
                    set.members.push_back(i);
            }
        }
    }
    HANDLE h = NewHandle(std::move(set));
    l.handle = h;
    return h;
}

bool Sim::FailSetup(Op op, Logged& l) {
    if (const Fault* f = CheckFault(op, {}, 0, {})) {
        if (f->action == Action::Unplug) {
            UnplugLocked();
            return false;
        }
        if (f->action == Action::Fail) {
            l.result = f->error;
            SetLastError(f->error);
            return true;
        }
    }
    return false;
}

BOOL Sim::Refuse(Logged& l, DWORD error) {
    l.result = error;
    SetLastError(error);
    return FALSE;
}

BOOL Sim::SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA, const GUID* cls,
                                      DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    std::lock_guard lock(mutex);
    Logged& l = Record(Op::EnumInterfaces, Target::InfoSet, setHandle);
    if (FailSetup(Op::EnumInterfaces, l))
        return FALSE;
    HandleObject* set = Find(setHandle);
    if (set == nullptr || set->kind != Kind::InfoSet)
        return Refuse(l, ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Refuse(l, ERROR_INVALID_PARAMETER);
    }
    if (cls == nullptr || !(*cls == set->category) || index >= set->members.size()) {
        return Refuse(l, ERROR_NO_MORE_ITEMS);
    }
    const Interface& iface = machine.interfaces[set->members[index]];
    data->InterfaceClassGuid = set->category;
    data->Flags = 0;
    for (const auto& r : iface.categories) {
        if (r.category == set->category)
            data->Flags = r.flags;
    }
    data->Reserved = set->members[index] + 1;
    return TRUE;
}

const Interface* Sim::InterfaceOf(HandleObject* set, ULONG_PTR reserved) {
    if (set == nullptr || set->kind != Kind::InfoSet)
        return nullptr;
    if (reserved == 0 || reserved > machine.interfaces.size())
        return nullptr;
    return &machine.interfaces[reserved - 1];
}

BOOL Sim::SetupDiGetDeviceInterfaceDetailW(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                           DWORD detailSize, PDWORD requiredSize,
                                           PSP_DEVINFO_DATA devInfo) {
    std::lock_guard lock(mutex);
    Logged& l = Record(Op::InterfaceDetail, Target::InfoSet, setHandle);
    if (FailSetup(Op::InterfaceDetail, l))
        return FALSE;
    HandleObject* set = Find(setHandle);
    if (set == nullptr)
        return Refuse(l, ERROR_INVALID_HANDLE);
    const Interface* iface = data == nullptr ? nullptr : InterfaceOf(set, data->Reserved);
    if (iface == nullptr)
        return Refuse(l, ERROR_INVALID_PARAMETER);
    const WString path = DevicePath(*iface, data->InterfaceClassGuid);
    const DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                           (path.size() + 1) * sizeof(WCHAR));
    if (devInfo != nullptr) {
        if (devInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
            return Refuse(l, kErrorInvalidUserBuffer);
        }
        devInfo->DevInst = static_cast<DWORD>(data->Reserved);
    }
    if (detail == nullptr) {
        if (detailSize != 0)
            return Refuse(l, kErrorInvalidUserBuffer);
        if (requiredSize != nullptr)
            *requiredSize = required;
        return Refuse(l, ERROR_INSUFFICIENT_BUFFER);
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Refuse(l, kErrorInvalidUserBuffer);
    }
    if (requiredSize != nullptr)
        *requiredSize = required;
    if (detailSize < required)
        return Refuse(l, ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL Sim::SetupDiGetDeviceInstanceIdW(HDEVINFO setHandle, PSP_DEVINFO_DATA devInfo, PWSTR id,
                                      DWORD idSize, PDWORD requiredSize) {
    std::lock_guard lock(mutex);
    Logged& l = Record(Op::InstanceId, Target::InfoSet, setHandle);
    if (FailSetup(Op::InstanceId, l))
        return FALSE;
    HandleObject* set = Find(setHandle);
    if (set == nullptr)
        return Refuse(l, ERROR_INVALID_HANDLE);
    const Interface* iface = devInfo == nullptr ? nullptr : InterfaceOf(set, devInfo->DevInst);
    if (iface == nullptr)
        return Refuse(l, ERROR_INVALID_PARAMETER);
    const DWORD chars = static_cast<DWORD>(iface->instanceId.size() + 1);
    if (requiredSize != nullptr)
        *requiredSize = chars;
    if (id == nullptr || idSize < chars)
        return Refuse(l, ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(id, iface->instanceId.c_str(), chars * sizeof(WCHAR));
    return TRUE;
}

BOOL Sim::SetupDiGetDeviceInterfaceAlias(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                         const GUID* aliasClass, PSP_DEVICE_INTERFACE_DATA alias) {
    std::lock_guard lock(mutex);
    Logged& l = Record(Op::InterfaceAlias, Target::InfoSet, setHandle);
    if (FailSetup(Op::InterfaceAlias, l))
        return FALSE;
    HandleObject* set = Find(setHandle);
    if (set == nullptr)
        return Refuse(l, ERROR_INVALID_HANDLE);
    const Interface* iface = data == nullptr ? nullptr : InterfaceOf(set, data->Reserved);
    if (iface == nullptr || aliasClass == nullptr)
        return Refuse(l, ERROR_INVALID_PARAMETER);
    for (const auto& r : iface->categories) {
        if (!(r.category == *aliasClass))
            continue;
        if (alias == nullptr || alias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            return Refuse(l, kErrorInvalidUserBuffer);
        }
        alias->InterfaceClassGuid = r.category;
        alias->Flags = r.flags;
        alias->Reserved = data->Reserved;
        return TRUE;
    }
    return Refuse(l, kErrorNoSuchInterface);
}

BOOL Sim::SetupDiDestroyDeviceInfoList(HDEVINFO setHandle) {
    std::lock_guard lock(mutex);
    Logged& l = Record(Op::DestroyInfoList, Target::InfoSet, setHandle);
    if (FailSetup(Op::DestroyInfoList, l))
        return FALSE;
    HandleObject* set = Find(setHandle);
    if (set == nullptr || set->kind != Kind::InfoSet)
        return Refuse(l, ERROR_INVALID_HANDLE);
    set->open = false;
    return TRUE;
}

}  // namespace ferox::sim::internal
