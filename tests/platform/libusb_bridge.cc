#include "tests/platform/libusb_bridge.h"

// clang-format off
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
// clang-format on
#include <dlfcn.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "platform/system.h"
#include "platform/usb_libusb.h"

namespace testing_support {
namespace {

using platform::usb::WaitResult;

// One URB the unit has not handed back yet.
struct Urb {
  UMockdevIoctlData* data;    // the client's usbdevfs_urb, kept for the reap
  UMockdevIoctlData* buffer;  // its data buffer, which the unit reads into
  bool in;
  bool done = false;
  void Release() { g_object_unref(buffer), g_object_unref(data); }
};

// A usbfs node of one unit: its open file descriptions (umockdev clients),
// each with the unit's device once the interface is claimed. Touched only
// on umockdev's worker thread.
struct Node {
  sim::Unit* unit;
  std::map<UMockdevIoctlClient*, std::unique_ptr<platform::usb::Device>> claimed;
  std::map<UMockdevIoctlClient*, std::vector<std::pair<uintptr_t, Urb>>> urbs;  // in submission order
};

usbdevfs_urb& UrbOf(UMockdevIoctlData* data) { return *reinterpret_cast<usbdevfs_urb*>(data->data); }

// `count` is read only after the wait has filled it in.
void Finish(Urb& urb, WaitResult result, const uint32_t& count) {
  if (result == WaitResult::kPending) return;
  UrbOf(urb.data).status = result == WaitResult::kDone ? 0 : -static_cast<int>(platform::GetLastSystemError());
  UrbOf(urb.data).actual_length = result == WaitResult::kDone ? static_cast<int>(count) : 0;
  urb.done = true;
}

// Answers one ioctl; false when it fails with errno `*error`. What it
// resolves of the client's memory goes to `resolved`, released after the
// ioctl is completed.
bool Handle(Node& node, UMockdevIoctlClient* client, int* error, std::vector<UMockdevIoctlData*>& resolved) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto resolve = [&](UMockdevIoctlData* data, size_t offset, size_t size) {
    return resolved.emplace_back(umockdev_ioctl_data_resolve(data, offset, size, nullptr))->data;
  };
  platform::usb::Device* device = node.claimed.count(client) ? node.claimed[client].get() : nullptr;
  auto& urbs = node.urbs[client];
  auto fail = [&](int code) { return *error = code, false; };
  auto fail_last = [&] { return fail(static_cast<int>(platform::GetLastSystemError())); };
  switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_GET_CAPABILITIES:
      *reinterpret_cast<uint32_t*>(resolve(arg, 0, 4)) =
          USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      return true;
    case USBDEVFS_GETDRIVER: return fail(ENODATA);  // no kernel driver bound
    case USBDEVFS_CLAIMINTERFACE:
      if (device == nullptr) node.claimed[client] = node.unit->Open();
      if (node.claimed[client] == nullptr) return fail_last();
      return true;
    case USBDEVFS_RELEASEINTERFACE: node.claimed.erase(client); return true;
    case USBDEVFS_CLEAR_HALT: {
      const auto pipe = *reinterpret_cast<uint32_t*>(resolve(arg, 0, 4));
      if (device == nullptr) return fail(ENODEV);
      if (!device->ResetPipe(static_cast<uint8_t>(pipe))) return fail_last();
      return true;
    }
    case USBDEVFS_SUBMITURB: {
      if (device == nullptr) return fail(ENODEV);
      const uintptr_t address = *reinterpret_cast<uintptr_t*>(arg->data);
      UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
      usbdevfs_urb& header = UrbOf(data);
      UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                              static_cast<size_t>(header.buffer_length), nullptr);
      std::span<uint8_t> bytes(buffer->data, static_cast<size_t>(header.buffer_length));
      Urb urb{data, buffer, (header.endpoint & 0x80) != 0};
      uint32_t count = 0;
      if (header.type == USBDEVFS_URB_TYPE_CONTROL) {
        // Only the endpoint status request is expected: GET_STATUS to an
        // endpoint (0x82, 0), answered after the 8-byte set-up packet.
        uint16_t status = 0;
        const bool ok = bytes[0] == 0x82 && bytes[1] == 0 && device->GetEndpointStatus(bytes[4], &status);
        if (ok) std::memcpy(bytes.data() + 8, &status, 2);
        Finish(urb, ok ? WaitResult::kDone : (platform::SetLastSystemError(EPIPE), WaitResult::kFailed), 2);
      } else if (!(urb.in ? device->IssueRead(header.endpoint, bytes) : device->IssueWrite(header.endpoint, bytes))) {
        urb.Release();
        return fail_last();
      } else if (!urb.in) {
        Finish(urb, device->WaitWrite(0, &count), count);
      }
      urbs.emplace_back(address, urb);
      return true;
    }
    case USBDEVFS_DISCARDURB: {
      const uintptr_t address = *reinterpret_cast<uintptr_t*>(arg->data);
      for (auto& [key, urb] : urbs) {
        if (key != address || urb.done) continue;
        if (device != nullptr) urb.in ? device->CancelRead() : device->CancelWrite();
        UrbOf(urb.data).status = -ENOENT;  // libusb's sign of a cancelled URB
        urb.done = true;
        return true;
      }
      return fail(EINVAL);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      for (auto it = urbs.begin(); it != urbs.end(); ++it) {
        Urb& urb = it->second;
        uint32_t count = 0;
        if (!urb.done && device == nullptr) Finish(urb, (platform::SetLastSystemError(ENODEV), WaitResult::kFailed), 0);
        if (!urb.done) Finish(urb, urb.in ? device->WaitRead(0, &count) : device->WaitWrite(0, &count), count);
        if (!urb.done) continue;
        umockdev_ioctl_data_set_ptr(resolved.emplace_back(umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr)),
                                    0, urb.data);
        resolved.push_back(urb.buffer);  // released once the reap has copied them back
        resolved.push_back(urb.data);
        urbs.erase(it);
        return true;
      }
      return fail(device == nullptr ? ENODEV : EAGAIN);
    default: return fail(ENOTTY);
  }
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user_data) {
  int error = 0;
  std::vector<UMockdevIoctlData*> resolved;
  const bool ok = Handle(*static_cast<Node*>(user_data), client, &error, resolved);
  umockdev_ioctl_client_complete(client, ok ? 0 : -1, ok ? 0 : error);
  for (UMockdevIoctlData* data : resolved) g_object_unref(data);
  return TRUE;
}

void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user_data) {
  auto& node = *static_cast<Node*>(user_data);
  for (auto& [address, urb] : node.urbs[client]) urb.Release();
  node.urbs.erase(client);
  node.claimed.erase(client);
}

// Descriptors as usbfs shows them in sysfs: device, one configuration, one
// interface of the given class with a bulk IN and a bulk OUT endpoint.
std::string Descriptors(uint16_t vendor, uint16_t product, uint8_t interface_class, uint8_t in, uint8_t out,
                        uint16_t packet) {
  const uint8_t bytes[] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, uint8_t(vendor), uint8_t(vendor >> 8), uint8_t(product),
                           uint8_t(product >> 8), 0x01, 0x00, 1, 2, 3, 1,
                           // configuration 1, 32 bytes in all; interface 0
                           9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, interface_class, 0, 0, 0,
                           // the two bulk endpoints
                           7, 5, in, 2, uint8_t(packet), uint8_t(packet >> 8), 0, 7, 5, out, 2, uint8_t(packet),
                           uint8_t(packet >> 8), 0};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// Forwards to the libusb backend after bringing the testbed up to date.
class SyncingBackend final : public platform::usb::Backend {
 public:
  SyncingBackend(std::function<void()> sync) : sync_(std::move(sync)), real_(platform::usb::MakeLibusbBackend()) {}
  std::optional<std::vector<platform::usb::DeviceInterface>> EnumerateInterfaces(
      platform::usb::InterfaceClass interface_class) override {
    return sync_(), real_->EnumerateInterfaces(interface_class);
  }
  std::optional<std::vector<platform::usb::PresentDevice>> EnumerateDevices() override {
    return sync_(), real_->EnumerateDevices();
  }
  std::optional<platform::usb::InterfaceClass> ClassOfPath(const std::string& path) override {
    return sync_(), real_->ClassOfPath(path);
  }
  std::unique_ptr<platform::usb::Device> Open(const std::string& path) override { return sync_(), real_->Open(path); }

 private:
  std::function<void()> sync_;
  std::shared_ptr<platform::usb::Backend> real_;
};

}  // namespace

struct UsbTestbed::State {
  struct Plugged {
    std::unique_ptr<Node> node;
    int port;
    std::optional<std::string> syspath;  // while it is on the bus
    std::string devnode;
    bool disabled = false;
    UMockdevIoctlBase* handler = nullptr;
  };
  UMockdevTestbed* testbed = nullptr;
  std::vector<Plugged> units;
  int next_devnum = 2;

  // Shows a device on port `port` of bus 1; returns its sysfs path.
  std::string Plug(int port, const std::string& descriptors, const std::string& product, bool authorized,
                   std::string* devnode) {
    const int devnum = next_devnum++;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    *devnode = node;
    const std::string name = "1-" + std::to_string(port);
    const std::string devnum_text = std::to_string(devnum) + "\n";
    const gchar* attributes[] = {"busnum",
                                 "1\n",
                                 "devnum",
                                 devnum_text.c_str(),
                                 "speed",
                                 "480\n",
                                 "bConfigurationValue",
                                 "1\n",
                                 "authorized",
                                 authorized ? "1\n" : "0\n",
                                 "product",
                                 product.c_str(),
                                 nullptr};
    const std::string devnum3 = node + 17;
    const gchar* properties[] = {"DEVTYPE", "usb_device", "DEVNAME",       node,   "BUSNUM",
                                 "001",     "DEVNUM",     devnum3.c_str(), nullptr};
    gchar* syspath = umockdev_testbed_add_devicev(testbed, "usb", name.c_str(), nullptr,
                                                  const_cast<gchar**>(attributes), const_cast<gchar**>(properties));
    umockdev_testbed_set_attribute_binary(testbed, syspath, "descriptors",
                                          reinterpret_cast<guint8*>(const_cast<char*>(descriptors.data())),
                                          static_cast<gint>(descriptors.size()));
    char id[8];
    for (auto [attribute, offset] : {std::pair{"idVendor", 8}, {"idProduct", 10}, {"bcdDevice", 12}}) {
      std::snprintf(id, sizeof id, "%02x%02x\n", uint8_t(descriptors[offset + 1]), uint8_t(descriptors[offset]));
      umockdev_testbed_set_attribute(testbed, syspath, attribute, id);
    }
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const std::filesystem::path file = std::string(root) + node;
    g_free(root);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream{file};
    std::string path = syspath;
    g_free(syspath);
    return path;
  }
};

UsbTestbed::UsbTestbed() : state_(std::make_unique<State>()) {
  // Linked in, the preload library redirects this process's device and
  // sysfs accesses into the testbed; without it there is no testbed.
  void* preload = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (preload == nullptr) return;
  dlclose(preload);
  state_->testbed = umockdev_testbed_new();
}

UsbTestbed::~UsbTestbed() {
  for (auto& plugged : state_->units) {
    if (plugged.handler != nullptr) g_object_unref(plugged.handler);
  }
  if (state_->testbed != nullptr) g_object_unref(state_->testbed);
}

bool UsbTestbed::ok() const { return state_->testbed != nullptr; }

void UsbTestbed::AddUnit(sim::Unit& unit, int port) {
  auto node = std::make_unique<Node>();
  node->unit = &unit;
  state_->units.push_back({std::move(node), port, std::nullopt, {}, false, nullptr});
  Sync();
}

void UsbTestbed::AddForeignDevice(int port) {
  std::string devnode;
  state_->Plug(port, Descriptors(0x1234, 0x0041, 0xFF, 0x81, 0x02, 512), "Other\n", true, &devnode);
}

// Unplugs units that dropped off the bus and plugs in those back on it,
// under a new device number as a real re-enumeration gives them.
void UsbTestbed::Sync() {
  for (auto& plugged : state_->units) {
    sim::Unit& unit = *plugged.node->unit;
    const bool on_bus = unit.OnBus();
    if (plugged.syspath && (!on_bus || unit.Disabled() != plugged.disabled)) {
      umockdev_testbed_detach_ioctl(state_->testbed, plugged.devnode.c_str(), nullptr);
      umockdev_testbed_remove_device(state_->testbed, plugged.syspath->c_str());
      plugged.syspath.reset();
    }
    if (plugged.syspath || !on_bus) continue;
    const sim::UnitConfig config = unit.BusIdentity();
    const uint8_t interface_class = config.interface == sim::UnitInterface::kReader ? 0xFF : 6;
    plugged.disabled = unit.Disabled();
    plugged.syspath = state_->Plug(plugged.port,
                                   Descriptors(config.vendor_id, config.product_id, interface_class, config.in_pipe,
                                               config.out_pipe, config.max_packet_size),
                                   config.description + "\n", !plugged.disabled, &plugged.devnode);
    if (plugged.handler == nullptr) {
      plugged.handler = umockdev_ioctl_base_new();
      g_signal_connect(plugged.handler, "handle-ioctl", G_CALLBACK(OnIoctl), plugged.node.get());
      g_signal_connect(plugged.handler, "client-vanished", G_CALLBACK(OnVanished), plugged.node.get());
    }
    umockdev_testbed_attach_ioctl(state_->testbed, plugged.devnode.c_str(), plugged.handler, nullptr);
  }
}

std::shared_ptr<platform::usb::Backend> UsbTestbed::backend() {
  return std::make_shared<SyncingBackend>([this] { Sync(); });
}

}  // namespace testing_support
