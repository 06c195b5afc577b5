// LinkFiles: the companion app's bundle identifiers, the three link files in its container and the texts of its answers.
#pragma once

// Every variant of the companion app is this prefix followed by a number: 1 to 19, then 100 to
// 119, tried in that order.
inline constexpr char kCompanionAppPrefix[] = "com.mrz4.ringtone.pid40ch";

// The link files, as paths in the app's container.
inline constexpr char kHeartbeatFile[] = "/Documents/PCConnection/Heartbeat";
inline constexpr char kRequestFile[] = "/Documents/PCConnection/Request";
inline constexpr char kResponseFile[] = "/Documents/PCConnection/Respone";

// A request is read with a buffer of this size; at most one byte less is used, so the text
// always ends in a zero.
inline constexpr int kRequestBufferSize = 1024;

// The largest audio file an "addring" request may hand over; it is read into memory in one
// piece. Ringtones last seconds, so this is far above any real one.
inline constexpr int kMaxAudioFileSize = 64 * 1024 * 1024;

// The answers' messages.
inline constexpr char16_t kMessageDone[] = u"处理成功";
inline constexpr char16_t kMessageBusy[] = u"系统繁忙";
inline constexpr char16_t kMessageBadParameters[] = u"参数不正确";
inline constexpr char16_t kMessageNoAudioFile[] = u"铃音文件不存在";
inline constexpr char16_t kMessageReadFailed[] = u"铃音读取失败";
inline constexpr char16_t kMessageUnknownCommand[] = u"未知指令";

// The status line while audio is made into a ringtone and added (a command of the app, or files
// dropped on the window): "...NAME NN%", "...NAME", then the outcome for a while.
inline constexpr char16_t kTextMakingRingtone[] = u"正在制作铃声：";
inline constexpr char16_t kTextAddingRingtone[] = u"正在添加铃声：";
inline constexpr char16_t kTextRingtoneAdded[] = u"铃声已添加：";
inline constexpr char16_t kTextRingtoneFailed[] = u"铃声添加失败：";
inline constexpr char16_t kTextConnectFirst[] = u"请先连接设备";
inline constexpr char16_t kTextNotAudio[] = u"不是音频文件：";
