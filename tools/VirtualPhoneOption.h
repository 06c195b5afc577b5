// VirtualPhoneOption: the assistant's --virtual-phone option: a phone in a folder, made when missing, listed in the hub and plugged in.
#pragma once

#include <string>

// Makes the phone in dir with the defaults of "ruvo-phone init" when dir does not exist, lists it
// in the hub the assistant watches and plugs it in. False with a one-line reason otherwise.
bool PrepareVirtualPhone(const std::string& dir, std::string& error);
