// Descriptors as the simulated devices send them, and the parser that turns a configuration
// descriptor into libusb's structures (the same path a real configuration takes).
#include "sim/Internal.h"

#include <cstdlib>
#include <cstring>

namespace usbsim::detail {

namespace {

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

uint16_t maxPacket(const DeviceConfig& c) { return c.speed == Speed::High ? 512 : 64; }

}  // namespace

std::vector<EndpointInfo> endpointLayout(const DeviceConfig& c) {
    std::vector<EndpointInfo> eps;
    eps.push_back({0x01, 2, Channel::Printer});
    eps.push_back({0x82, static_cast<uint8_t>(c.interruptIn ? 3 : 2), Channel::Printer});
    if (c.endpoints >= 4) {
        eps.push_back({0x03, 2, Channel::Display});
        eps.push_back({0x84, 2, Channel::Display});
    }
    return eps;
}

Bytes buildDeviceDescriptor(const DeviceConfig& c) {
    Bytes b{18, LIBUSB_DT_DEVICE};
    put16(b, c.bcdUSB);
    b.push_back(0);  // class per interface
    b.push_back(0);
    b.push_back(0);
    b.push_back(64);
    put16(b, c.vendorId);
    put16(b, c.productId);
    put16(b, c.bcdDevice);
    b.push_back(1);
    b.push_back(2);
    b.push_back(c.serial ? 3 : 0);
    b.push_back(c.numConfigurations);
    return b;
}

Bytes buildConfigDescriptor(const DeviceConfig& c, int index) {
    Bytes b{9, LIBUSB_DT_CONFIG, 0, 0, c.numInterfaces, static_cast<uint8_t>(index + 1), 0, 0xC0, 1};
    const auto eps = endpointLayout(c);
    for (int i = 0; i < c.numInterfaces; ++i) {
        for (int alt = 0; alt < c.numAltSettings; ++alt) {
            // Interfaces beyond the first are plain vendor interfaces without endpoints.
            const bool main = i == 0;
            const uint8_t numEp = main ? static_cast<uint8_t>(eps.size()) : 0;
            const uint8_t cls = main && c.printerClass ? LIBUSB_CLASS_PRINTER : 0xFF;
            const uint8_t sub = main && c.printerClass ? 1 : 0;
            const uint8_t proto = main && c.printerClass ? 2 : 0;
            const uint8_t num = static_cast<uint8_t>(c.interfaceNumber + i);
            b.insert(b.end(), {9, LIBUSB_DT_INTERFACE, num, static_cast<uint8_t>(alt), numEp, cls, sub, proto, 0});
            if (!main) continue;
            for (const auto& e : eps) {
                b.insert(b.end(), {7, LIBUSB_DT_ENDPOINT, e.address, e.attributes});
                put16(b, maxPacket(c));
                b.push_back(e.attributes == 3 ? 1 : 0);
            }
        }
    }
    b[2] = static_cast<uint8_t>(b.size() & 0xFF);
    b[3] = static_cast<uint8_t>(b.size() >> 8);
    return b;
}

Bytes buildStringDescriptor(const DeviceConfig& c, int index) {
    std::string s;
    switch (index) {
    case 0:
        return Bytes{4, LIBUSB_DT_STRING, 0x09, 0x04};
    case 1:
        s = c.manufacturer;
        break;
    case 2:
        s = c.product;
        break;
    case 3:
        if (!c.serial) return {};
        s = *c.serial;
        break;
    default:
        return {};
    }
    // UTF-8 to UTF-16LE (BMP only; anything else becomes U+FFFD).
    Bytes b{0, LIBUSB_DT_STRING};
    for (size_t i = 0; i < s.size() && b.size() < 254;) {
        uint32_t cp = static_cast<uint8_t>(s[i]);
        size_t n = 1;
        if (cp >= 0xC0 && cp < 0xE0 && i + 1 < s.size()) {
            cp = ((cp & 0x1F) << 6) | (static_cast<uint8_t>(s[i + 1]) & 0x3F);
            n = 2;
        } else if (cp >= 0xE0 && cp < 0xF0 && i + 2 < s.size()) {
            cp = ((cp & 0x0F) << 12) | ((static_cast<uint8_t>(s[i + 1]) & 0x3F) << 6) |
                 (static_cast<uint8_t>(s[i + 2]) & 0x3F);
            n = 3;
        } else if (cp >= 0x80) {
            cp = 0xFFFD;
            while (i + n < s.size() && (static_cast<uint8_t>(s[i + n]) & 0xC0) == 0x80) ++n;
        }
        put16(b, static_cast<uint16_t>(cp));
        i += n;
    }
    b[0] = static_cast<uint8_t>(b.size());
    return b;
}

namespace {

// Copies the bytes of class/vendor descriptors that follow a standard one.
void takeExtra(const Bytes& raw, size_t& pos, const unsigned char** extra, int* extraLen) {
    const size_t start = pos;
    while (pos + 2 <= raw.size()) {
        const uint8_t len = raw[pos];
        const uint8_t type = raw[pos + 1];
        if (len < 2 || pos + len > raw.size()) break;
        if (type == LIBUSB_DT_INTERFACE || type == LIBUSB_DT_ENDPOINT || type == LIBUSB_DT_CONFIG ||
            type == LIBUSB_DT_DEVICE)
            break;
        pos += len;
    }
    *extra = nullptr;
    *extraLen = 0;
    if (pos > start) {
        auto* e = static_cast<unsigned char*>(std::malloc(pos - start));
        std::memcpy(e, raw.data() + start, pos - start);
        *extra = e;
        *extraLen = static_cast<int>(pos - start);
    }
}

}  // namespace

libusb_config_descriptor* parseConfigDescriptor(const Bytes& raw) {
    if (raw.size() < 9 || raw[0] < 9 || raw[1] != LIBUSB_DT_CONFIG) return nullptr;
    auto* cfg = static_cast<libusb_config_descriptor*>(std::calloc(1, sizeof(libusb_config_descriptor)));
    cfg->bLength = raw[0];
    cfg->bDescriptorType = raw[1];
    cfg->wTotalLength = static_cast<uint16_t>(raw[2] | (raw[3] << 8));
    cfg->bNumInterfaces = raw[4];
    cfg->bConfigurationValue = raw[5];
    cfg->iConfiguration = raw[6];
    cfg->bmAttributes = raw[7];
    cfg->MaxPower = raw[8];
    size_t pos = raw[0];
    takeExtra(raw, pos, &cfg->extra, &cfg->extra_length);

    auto* ifaces = static_cast<libusb_interface*>(std::calloc(cfg->bNumInterfaces ? cfg->bNumInterfaces : 1,
                                                              sizeof(libusb_interface)));
    cfg->interface = ifaces;
    for (int i = 0; i < cfg->bNumInterfaces; ++i) {
        libusb_interface& itf = ifaces[i];
        std::vector<libusb_interface_descriptor> alts;
        while (pos + 9 <= raw.size() && raw[pos + 1] == LIBUSB_DT_INTERFACE) {
            if (!alts.empty() && raw[pos + 3] == 0) break;  // next interface starts
            libusb_interface_descriptor d{};
            d.bLength = raw[pos];
            d.bDescriptorType = raw[pos + 1];
            d.bInterfaceNumber = raw[pos + 2];
            d.bAlternateSetting = raw[pos + 3];
            d.bNumEndpoints = raw[pos + 4];
            d.bInterfaceClass = raw[pos + 5];
            d.bInterfaceSubClass = raw[pos + 6];
            d.bInterfaceProtocol = raw[pos + 7];
            d.iInterface = raw[pos + 8];
            pos += raw[pos] < 9 ? 9 : raw[pos];
            takeExtra(raw, pos, &d.extra, &d.extra_length);
            auto* eps = static_cast<libusb_endpoint_descriptor*>(
                std::calloc(d.bNumEndpoints ? d.bNumEndpoints : 1, sizeof(libusb_endpoint_descriptor)));
            int n = 0;
            for (; n < d.bNumEndpoints && pos + 7 <= raw.size() && raw[pos + 1] == LIBUSB_DT_ENDPOINT; ++n) {
                libusb_endpoint_descriptor& e = eps[n];
                e.bLength = raw[pos];
                e.bDescriptorType = raw[pos + 1];
                e.bEndpointAddress = raw[pos + 2];
                e.bmAttributes = raw[pos + 3];
                e.wMaxPacketSize = static_cast<uint16_t>(raw[pos + 4] | (raw[pos + 5] << 8));
                e.bInterval = raw[pos + 6];
                pos += raw[pos] < 7 ? 7 : raw[pos];
                takeExtra(raw, pos, &e.extra, &e.extra_length);
            }
            d.bNumEndpoints = static_cast<uint8_t>(n);
            d.endpoint = eps;
            alts.push_back(d);
        }
        auto* altArr = static_cast<libusb_interface_descriptor*>(
            std::calloc(alts.empty() ? 1 : alts.size(), sizeof(libusb_interface_descriptor)));
        for (size_t a = 0; a < alts.size(); ++a) altArr[a] = alts[a];
        itf.altsetting = altArr;
        itf.num_altsetting = static_cast<int>(alts.size());
    }
    return cfg;
}

void freeConfigDescriptor(libusb_config_descriptor* cfg) {
    if (!cfg) return;
    for (int i = 0; i < cfg->bNumInterfaces; ++i) {
        const libusb_interface& itf = cfg->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& d = itf.altsetting[a];
            for (int e = 0; e < d.bNumEndpoints; ++e) std::free(const_cast<unsigned char*>(d.endpoint[e].extra));
            std::free(const_cast<libusb_endpoint_descriptor*>(d.endpoint));
            std::free(const_cast<unsigned char*>(d.extra));
        }
        std::free(const_cast<libusb_interface_descriptor*>(itf.altsetting));
    }
    std::free(const_cast<libusb_interface*>(cfg->interface));
    std::free(const_cast<unsigned char*>(cfg->extra));
    std::free(cfg);
}

}  // namespace usbsim::detail
