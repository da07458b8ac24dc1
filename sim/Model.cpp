// What a device model is made of, independent of the bus that carries it: the identification
// requests and answer blocks, the configuration presets and the timing presets. Built into the
// model library that the simulated libusb and the usbfs emulation (mockdev/) share.
#include "sim/Internal.h"

namespace usbsim {

const Bytes& onlineIdentifyRequest() {
    static const Bytes b{0x10, 0x14, 0x12, 0x00, 0x03, 0x1D, 0x49, 0x43, 0x1D, 0x49, 0x31};
    return b;
}

const Bytes& offlineIdentifyRequest() {
    static const Bytes b{0x10, 0x14, 0x12, 0x00, 0x03, 0x10, 0x14, 0x12, 0x00, 0x00};
    return b;
}

namespace answer {

namespace {
Bytes block(const std::string& prefix, const Bytes& body) {
    Bytes b;
    b.reserve(prefix.size() + body.size() + 1);
    b.assign(prefix.begin(), prefix.end());
    for (uint8_t c : body) b.push_back(c);
    b.push_back(0);
    return b;
}
Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
}  // namespace

Bytes modelBlock(const std::string& model) { return block("7MC", bytesOf(model)); }
Bytes underscoreModel(const std::string& model) { return block("_", bytesOf(model)); }
Bytes deviceIdByte(uint8_t id) { return Bytes{id}; }
Bytes deviceIdBlock(uint8_t id) { return Bytes{'7', 'L', '1', id, 0}; }
Bytes bootKey(const Bytes& key) { return block("1", key); }
Bytes statusBlock() { return Bytes{0x14, 0x00, 0x00, 0x0F}; }
Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

}  // namespace answer

uint16_t DeviceConfig::capability() const {
    if (capabilityWord) return *capabilityWord;
    return static_cast<uint16_t>(((deviceCode & 0x1F) << 2) | (forcedFlow ? 2 : 0));
}

DeviceConfig DeviceConfig::vendorPrinter(std::optional<std::string> serial) {
    DeviceConfig c;
    c.serial = std::move(serial);
    return c;
}

DeviceConfig DeviceConfig::displayPrinter(std::optional<std::string> serial) {
    DeviceConfig c;
    c.serial = std::move(serial);
    c.endpoints = 4;
    c.product = "Receipt Printer with Customer Display";
    return c;
}

DeviceConfig DeviceConfig::printerClassDevice(std::optional<std::string> serial, const std::string& commandSet) {
    DeviceConfig c;
    c.serial = std::move(serial);
    c.productId = 0x0E01;
    c.printerClass = true;
    c.hasKernelDriver = true;  // usblp binds to printer-class interfaces
    c.product = "Printer";
    c.model = "PC-100";
    c.ieee1284Id = "MFG:Korvo;CMD:" + commandSet + ";MDL:PC-100;CLS:PRINTER;";
    return c;
}

Timing Timing::fullSpeed() { return Timing{1216000, std::chrono::microseconds(1000)}; }
Timing Timing::highSpeed() { return Timing{53248000, std::chrono::microseconds(125)}; }

}  // namespace usbsim
