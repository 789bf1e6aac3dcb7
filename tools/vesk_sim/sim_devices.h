// Devices on a simulated board's I2C bus: the output attenuator, the
// 128 x 64 monochrome display (SSD1306 command set) and a plain memory.
#ifndef VESK_SIM_DEVICES_H
#define VESK_SIM_DEVICES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_config.h"

namespace vesk::sim {

class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // One bus transaction each. Any bytes are accepted.
    virtual void write(const std::uint8_t* data, std::size_t len) = 0;
    virtual void read(std::uint8_t* out, std::size_t len) = 0;
};

// Two-channel attenuator. A byte with bit 7 set is a control byte (hosts
// start every write with 0x87); otherwise bits 6-7 pick the channel (00 =
// channel 0, 01 = channel 1, 10 ignored) and bits 0-5 hold the level.
// A read returns the control byte, then channel 0's and channel 1's level
// bytes, repeating.
class Attenuator : public I2cDevice {
public:
    explicit Attenuator(std::array<std::uint8_t, 2> levels) : levels_(levels) {}
    void write(const std::uint8_t* data, std::size_t len) override;
    void read(std::uint8_t* out, std::size_t len) override;
    std::uint8_t level(int channel) const { return levels_[channel & 1]; }
    std::uint8_t control() const { return control_; }

private:
    std::array<std::uint8_t, 2> levels_;
    std::uint8_t control_ = 0x87;
};

// SSD1306 controller with a 128 x 64 panel: 8 pages of 128 column bytes,
// bit n of a byte is row page * 8 + n. Supports the addressing modes, the
// column/page windows and start addresses, display on/off, segment remap
// and COM scan direction; other commands are parsed (with their argument
// bytes) and ignored.
class Display : public I2cDevice {
public:
    static constexpr int kWidth = 128, kHeight = 64, kPages = 8;
    void write(const std::uint8_t* data, std::size_t len) override;
    void read(std::uint8_t* out, std::size_t len) override;

    bool pixel(int x, int y) const;  // as seen on the panel
    bool on() const { return on_; }
    std::uint8_t ram(int page, int column) const { return ram_[page][column]; }
    // Portable bitmap (P1, plain text) of the panel.
    std::string pbm() const;

private:
    void command(std::uint8_t b);
    void data(std::uint8_t b);

    std::array<std::array<std::uint8_t, kWidth>, kPages> ram_{};
    int mode_ = 2;  // 0 horizontal, 1 vertical, 2 page (reset state)
    int colStart_ = 0, colEnd_ = 127, pageStart_ = 0, pageEnd_ = 7;
    int col_ = 0, page_ = 0, pageModeCol_ = 0;
    bool on_ = false, remap_ = false, comFlip_ = false;
    std::vector<std::uint8_t> cmd_;  // command being collected with its arguments
};

// 256 bytes behind an address pointer: a write sets the pointer from its
// first byte and stores the rest; a read returns bytes from the pointer on.
class Memory : public I2cDevice {
public:
    explicit Memory(const std::vector<std::uint8_t>& init);
    void write(const std::uint8_t* data, std::size_t len) override;
    void read(std::uint8_t* out, std::size_t len) override;

private:
    std::array<std::uint8_t, 256> mem_{};
    std::uint8_t ptr_ = 0;
};

std::unique_ptr<I2cDevice> makeDevice(const I2cDeviceConfig& cfg);

}  // namespace vesk::sim

#endif  // VESK_SIM_DEVICES_H
