// RingtoneCommands: the phone app's three commands (list, add, delete ringtones), each run on a worker thread of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CJson.h"

// Thread procedures; the argument is the app link record whose current request is the command.
// The poll cycle has marked the record busy ("ThreadRun" 1) before the thread starts; each
// procedure works on the current device link, records its usage report, stores its answer in
// the record and ends the busy mark through g_mainDialog, whatever happened.
void GetListThread(CJson* record);
void AddRingtoneThread(CJson* record);
void DelRingtoneThread(CJson* record);

// Runs a command's thread procedure behind the thread's exception barrier: an exception that
// escapes the procedure (memory running out for a large catalogue or audio file, say) ends the
// command as a failed one, answered Code 0 "系统繁忙", with its busy mark ended, instead of
// ending the whole program. What the poll cycle starts on the command's thread.
void RunCommandThread(void (*procedure)(CJson*), CJson* record);

// Replaces the record's current response with the answer to its current request: "Sign" and
// "Command" copied from the request, then "Code" and "Message", and with withData a member
// "Data" holding the tree (when there is one). The caller holds the link state's lock.
void StoreAnswer(CJson* record, int32_t code, const std::u16string& message, bool withData = false,
                 std::unique_ptr<CJson> data = nullptr);

// The status line while audio is made into a ringtone: "正在制作铃声：NAME NN%".
std::u16string MakingRingtoneStatus(const std::u16string& name, int percent);

// The value text of the node's member, empty when there is no such member.
std::u16string MemberValue(CJson* node, const std::u16string& key);

// The parameter object of a request: the first child of its member "Parms"; null when missing.
CJson* RequestParameters(CJson* request);

// A decimal integer read as the phone app means it: leading blanks and one sign allowed, reading
// stops at the first other character, no digits give 0; values beyond 32 bits are clamped.
int32_t ReadLeadingInteger(const std::u16string& text);
