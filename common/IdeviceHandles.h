// IdeviceHandles: unique_ptr holders of libimobiledevice's handles, each freed by its own call.
//
// For the USB driver only: this header brings libimobiledevice in (Debian libimobiledevice-dev),
// so only a target that links libimobiledevice-1.0 includes it (the CMake target
// ruvo_common_imobiledevice, made when the library is found, does both).
#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/house_arrest.h>
#include <libimobiledevice/installation_proxy.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <memory>
#include <type_traits>

namespace ruvo {

// The deleters. A holder never calls them with null; the calls' error results say nothing a
// caller could act on when a handle goes.
struct IdeviceFree {
    void operator()(idevice_t device) const { idevice_free(device); }
};
struct LockdowndClientFree {
    void operator()(lockdownd_client_t client) const { lockdownd_client_free(client); }
};
struct AfcClientFree {
    void operator()(afc_client_t client) const { afc_client_free(client); }
};
struct HouseArrestClientFree {
    void operator()(house_arrest_client_t client) const { house_arrest_client_free(client); }
};
struct InstproxyClientFree {
    void operator()(instproxy_client_t client) const { instproxy_client_free(client); }
};

// The device (idevice_new), its lockdown client and the service clients made on it; a client
// is to go before the device it was made on.
using IdeviceHolder = std::unique_ptr<std::remove_pointer_t<idevice_t>, IdeviceFree>;
using LockdowndClientHolder = std::unique_ptr<std::remove_pointer_t<lockdownd_client_t>, LockdowndClientFree>;
using AfcClientHolder = std::unique_ptr<std::remove_pointer_t<afc_client_t>, AfcClientFree>;
using HouseArrestClientHolder = std::unique_ptr<std::remove_pointer_t<house_arrest_client_t>, HouseArrestClientFree>;
using InstproxyClientHolder = std::unique_ptr<std::remove_pointer_t<instproxy_client_t>, InstproxyClientFree>;

}  // namespace ruvo
