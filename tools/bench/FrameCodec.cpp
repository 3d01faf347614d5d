#include "FrameCodec.h"

namespace {

unsigned char high(unsigned short v) { return static_cast<unsigned char>(v >> 8); }
unsigned char low(unsigned short v) { return static_cast<unsigned char>(v & 0xFF); }

}  // namespace

unsigned char FrameCodec::crc8(const unsigned char* data, std::size_t length) {
    unsigned int crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80u) != 0 ? ((crc << 1) ^ 0x31u) & 0xFFu : (crc << 1) & 0xFFu;
        }
    }
    return static_cast<unsigned char>(crc);
}

std::vector<unsigned char> FrameCodec::frame(unsigned char code, const std::vector<unsigned char>& body) {
    std::vector<unsigned char> out;
    out.reserve(body.size() + 5);
    out.push_back(START);
    out.push_back(static_cast<unsigned char>(body.size() + 1));
    out.push_back(code);
    out.insert(out.end(), body.begin(), body.end());
    out.push_back(crc8(out.data() + 1, out.size() - 1));
    out.push_back(END);
    return out;
}

std::size_t FrameCodec::payloadBytes(std::size_t count, unsigned int dataRange) {
    return (count * dataRange + 7) / 8;
}

std::vector<unsigned char> FrameCodec::pack(const std::vector<unsigned int>& values, unsigned int dataRange) {
    std::vector<unsigned char> out(payloadBytes(values.size(), dataRange), 0);
    std::size_t k = 0;
    for (unsigned int value : values) {
        for (unsigned int bit = 0; bit < dataRange; ++bit, ++k) {
            if (bit < 32 && ((value >> bit) & 1u) != 0) out[k / 8] |= static_cast<unsigned char>(1u << (k % 8));
        }
    }
    return out;
}

std::vector<unsigned int> FrameCodec::unpack(const std::vector<unsigned char>& payload, std::size_t count,
                                             unsigned int dataRange) {
    std::vector<unsigned int> out(count, 0);
    std::size_t k = 0;
    for (std::size_t i = 0; i < count; ++i) {
        for (unsigned int bit = 0; bit < dataRange; ++bit, ++k) {
            const std::size_t byte = k / 8;
            if (bit < 32 && byte < payload.size() && ((payload[byte] >> (k % 8)) & 1u) != 0) out[i] |= 1u << bit;
        }
    }
    return out;
}

std::vector<unsigned char> FrameCodec::valueRequest(unsigned short address, unsigned char gateway) {
    return frame(0x0A, {high(address), low(address), gateway});
}

std::vector<unsigned char> FrameCodec::measure(unsigned short address, unsigned char gateway) {
    return frame(0x0E, {high(address), low(address), gateway});
}

std::vector<unsigned char> FrameCodec::set(unsigned short address, unsigned char gateway,
                                           const std::vector<unsigned char>& payload) {
    std::vector<unsigned char> body{high(address), low(address), gateway};
    body.insert(body.end(), payload.begin(), payload.end());
    return frame(0x0C, body);
}

std::vector<unsigned char> FrameCodec::discovery() { return frame(0x00, {}); }

std::vector<unsigned char> FrameCodec::addressAssign(unsigned short random, unsigned short address,
                                                     unsigned char gateway) {
    return frame(0x02, {high(random), low(random), high(address), low(address), gateway});
}

std::vector<unsigned char> FrameCodec::addressConfirm(unsigned short random, unsigned short address,
                                                      unsigned char gateway) {
    return frame(0x05, {high(random), low(random), high(address), low(address), gateway});
}

std::vector<unsigned char> FrameCodec::valueReply(unsigned short address, unsigned char gateway,
                                                  const std::vector<unsigned char>& payload) {
    std::vector<unsigned char> body{high(address), low(address), gateway};
    body.insert(body.end(), payload.begin(), payload.end());
    return frame(0x0B, body);
}

std::vector<unsigned char> FrameCodec::discoveryReply(unsigned char channels, unsigned char typeCode,
                                                      unsigned short random) {
    return frame(0x01, {channels, typeCode, high(random), low(random)});
}

std::vector<unsigned char> FrameCodec::addressCheck(unsigned short random, unsigned short address,
                                                    unsigned char gateway) {
    return frame(0x04, {high(random), low(random), high(address), low(address), gateway});
}
