// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/platform/windows/platform_windows_ports.h"

#include "acquisition/platform/platform_serial.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

// mingw defines the GUIDs and property keys only in headers read after initguid.h; winioctl.h
// declares its GUIDs wherever it is read, and so is read once more here.
#include <initguid.h>

#include <devguid.h>
#include <devpkey.h>
#include <winioctl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Registry and property strings need not end in a null, and may hold several (a multi-string):
// the first one.
QString firstString(const std::vector<wchar_t>& buffer, size_t bytes) {
    const size_t chars = std::min(buffer.size(), bytes / sizeof(wchar_t));
    size_t length = 0;
    while (length < chars && buffer[length] != L'\0')
        ++length;
    return QString::fromWCharArray(buffer.data(), static_cast<qsizetype>(length));
}

QString registryString(HKEY key, const wchar_t* value) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1);
    if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &bytes) != ERROR_SUCCESS)
        return {};
    return firstString(buffer, bytes);
}

// The ports the serial drivers announce, Wine's among them: each value's data is a port name.
QList<ComPortRecord> serialCommPorts() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return {};
    DWORD longestName = 0;
    DWORD longestData = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     &longestName, &longestData, nullptr, nullptr);
    QList<ComPortRecord> ports;
    std::vector<wchar_t> name(longestName + 1);
    std::vector<wchar_t> data(longestData / sizeof(wchar_t) + 1);
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        const LSTATUS status = RegEnumValueW(key, index, name.data(), &nameChars, nullptr, &type,
                                             reinterpret_cast<BYTE*>(data.data()), &bytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_SUCCESS && type == REG_SZ) {
            ComPortRecord port;
            port.portName = firstString(data, bytes);
            ports.append(port);
        }
    }
    RegCloseKey(key);
    return ports;
}

QString instanceId(HDEVINFO set, SP_DEVINFO_DATA& info) {
    DWORD chars = 0;
    SetupDiGetDeviceInstanceIdW(set, &info, nullptr, 0, &chars);
    std::vector<wchar_t> buffer(chars + 1);
    if (chars == 0 || !SetupDiGetDeviceInstanceIdW(set, &info, buffer.data(),
                                                   static_cast<DWORD>(buffer.size()), nullptr))
        return {};
    return firstString(buffer, buffer.size() * sizeof(wchar_t));
}

QString parentInstanceId(DEVINST device) {
    DEVINST parent = 0;
    std::vector<wchar_t> buffer(MAX_DEVICE_ID_LEN + 1);
    if (CM_Get_Parent(&parent, device, 0) != CR_SUCCESS ||
        CM_Get_Device_IDW(parent, buffer.data(), static_cast<ULONG>(buffer.size()), 0) !=
            CR_SUCCESS)
        return {};
    return firstString(buffer, buffer.size() * sizeof(wchar_t));
}

QString registryProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    DWORD bytes = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &info, property, nullptr, nullptr, 0, &bytes);
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1);
    if (bytes == 0 ||
        !SetupDiGetDeviceRegistryPropertyW(set, &info, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), bytes, nullptr))
        return {};
    return firstString(buffer, bytes);
}

QString locationPath(HDEVINFO set, SP_DEVINFO_DATA& info) {
    DEVPROPTYPE type = 0;
    DWORD bytes = 0;
    SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_LocationPaths, &type, nullptr, 0, &bytes,
                              0);
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1);
    if (bytes == 0 ||
        !SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_LocationPaths, &type,
                                   reinterpret_cast<BYTE*>(buffer.data()), bytes, nullptr, 0) ||
        type != DEVPROP_TYPE_STRING_LIST)
        return {};
    return firstString(buffer, bytes);
}

// A bus driver such as FTDI's gives its ports no location; the USB device or interface above
// them has one.
QString parentLocationPath(const QString& parentId) {
    if (parentId.isEmpty())
        return {};
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    const std::wstring id = parentId.toStdWString();
    const QString path = SetupDiOpenDeviceInfoW(set, id.c_str(), nullptr, 0, &info)
                             ? locationPath(set, info)
                             : QString();
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

ComPortRecord deviceRecord(HDEVINFO set, SP_DEVINFO_DATA& info) {
    ComPortRecord record;
    record.deviceListed = true;
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key != INVALID_HANDLE_VALUE) {
        record.portName = registryString(key, L"PortName");
        RegCloseKey(key);
    }
    record.instanceId = instanceId(set, info);
    record.parentInstanceId = parentInstanceId(info.DevInst);
    record.locationPath = locationPath(set, info);
    if (record.locationPath.isEmpty())
        record.locationPath = parentLocationPath(record.parentInstanceId);
    record.friendlyName = registryProperty(set, info, SPDRP_FRIENDLYNAME);
    record.manufacturer = registryProperty(set, info, SPDRP_MFG);
    return record;
}

QList<ComPortRecord> setupApiPorts(const GUID& guid, DWORD flags) {
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    QList<ComPortRecord> ports;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &info); ++index)
        ports.append(deviceRecord(set, info));
    SetupDiDestroyDeviceInfoList(set);
    return ports;
}

} // namespace

// SERIALCOMM names every port a driver announced, Wine's too; SetupAPI says who stands behind
// one. Some drivers register their ports in the Ports class but not as COM port interfaces.
QList<SerialDevice> systemPortScan() {
    QList<ComPortRecord> records = setupApiPorts(GUID_DEVINTERFACE_COMPORT, DIGCF_DEVICEINTERFACE);
    records += setupApiPorts(GUID_DEVCLASS_PORTS, 0);
    records += serialCommPorts();
    return comPortList(records);
}
