#ifndef PELKO_DEVICETYPE_H
#define PELKO_DEVICETYPE_H

// A kind of bus node: how many values per channel, how wide each is on the
// bus, which way they flow and on which schedule the bus master serves them.
class DeviceType {
public:
    static const char R = 0;        // read only
    static const char RW = 1;       // written every pass, read back now and then
    static const char W = 2;        // written only
    static const char NOW = 0;      // served in every pass
    static const char DELAYED = 1;  // told to measure, read 50 passes later

    DeviceType() = default;
    DeviceType(const DeviceType&) = default;
    DeviceType& operator=(const DeviceType&) = default;
    virtual ~DeviceType() = default;

    unsigned int getType() const;
    void setType(unsigned int type);
    unsigned char getDataRange() const;
    void setDataRange(unsigned char dataRange);
    unsigned char getDataCount() const;
    void setDataCount(unsigned char dataCount);
    unsigned char getReadWrite() const;
    void setReadWrite(unsigned char readWrite);
    unsigned char getLatency() const;
    void setLatency(unsigned char latency);

private:
    unsigned int type = 0;
    unsigned char dataRange = 0;
    unsigned char dataCount = 0;
    unsigned char readWrite = 0;
    unsigned char latency = 0;
};

#endif
