#ifndef PELKO_BENCH_FRAMECODEC_H
#define PELKO_BENCH_FRAMECODEC_H

#include <cstddef>
#include <vector>

// The bus frame format as the nodes see it, written apart from the gateway's
// own frame code so that each checks the other. A frame is
// '#' L code body CRC '$', L counting code and body, the CRC-8 (polynomial
// 0x31, initial 0, not reflected) taken over L, code and body. Multi-byte
// numbers go high byte first. Values travel as one bit stream: value after
// value, each its dataRange lowest bits, least significant bit first.
class FrameCodec {
public:
    static constexpr unsigned char START = 0x23;
    static constexpr unsigned char END = 0x24;

    // CRC-8 of the bytes, bit by bit (no table).
    static unsigned char crc8(const unsigned char* data, std::size_t length);

    // A whole frame around the code and body.
    static std::vector<unsigned char> frame(unsigned char code, const std::vector<unsigned char>& body);

    // Bytes needed for `count` values of `dataRange` bits.
    static std::size_t payloadBytes(std::size_t count, unsigned int dataRange);
    // Packs the values into payloadBytes(values.size(), dataRange) bytes;
    // bits above bit 31 of a value are sent as 0.
    static std::vector<unsigned char> pack(const std::vector<unsigned int>& values, unsigned int dataRange);
    // Unpacks `count` values from the payload (missing bytes read as 0).
    static std::vector<unsigned int> unpack(const std::vector<unsigned char>& payload, std::size_t count,
                                            unsigned int dataRange);

    // Frames the gateway sends, for expectations in tests.
    static std::vector<unsigned char> valueRequest(unsigned short address, unsigned char gateway);
    static std::vector<unsigned char> measure(unsigned short address, unsigned char gateway);
    static std::vector<unsigned char> set(unsigned short address, unsigned char gateway,
                                          const std::vector<unsigned char>& payload);
    static std::vector<unsigned char> discovery();
    static std::vector<unsigned char> addressAssign(unsigned short random, unsigned short address,
                                                    unsigned char gateway);
    static std::vector<unsigned char> addressConfirm(unsigned short random, unsigned short address,
                                                     unsigned char gateway);

    // Frames the nodes send.
    static std::vector<unsigned char> valueReply(unsigned short address, unsigned char gateway,
                                                 const std::vector<unsigned char>& payload);
    static std::vector<unsigned char> discoveryReply(unsigned char channels, unsigned char typeCode,
                                                     unsigned short random);
    static std::vector<unsigned char> addressCheck(unsigned short random, unsigned short address,
                                                   unsigned char gateway);
};

#endif
