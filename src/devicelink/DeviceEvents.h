// DeviceEvents: the device events the manager and its links report to their owner, and the callback that carries them.
#pragma once

// eventType is one of the DEVICE_EVENT_* values; text is the status text in the ANSI code page,
// zero-terminated and valid only during the call, textLength its byte length; linkIndex is the
// link's index, or -1 for events of the manager itself.
using DeviceEventCallback = int (*)(int eventType, const char* text, int textLength, void* userData, int linkIndex);

inline constexpr int DEVICE_EVENT_STATUS = 0;
inline constexpr int DEVICE_EVENT_CONNECTED = 1;
inline constexpr int DEVICE_EVENT_TRUST_REQUIRED = 2;
inline constexpr int DEVICE_EVENT_DISCONNECTED = -1;
inline constexpr int DEVICE_EVENT_NO_SUPPORT = -2;

// The status texts of the events.
inline constexpr char16_t kTextWaiting[] = u"等待设备接入";
inline constexpr char16_t kTextServiceStarted[] = u"服务启动，请拨出设备后再次接入";
inline constexpr char16_t kTextNoSupport[] = u"请先安装苹果官方工具iTunes";
inline constexpr char16_t kTextDeviceCount[] = u"当前设备数量:%d";
inline constexpr char16_t kTextTrustRequired[] = u"请在iOS端信任后，重新连接设备";
