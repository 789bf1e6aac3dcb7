#include "sim_devices.h"

#include <sstream>

namespace vesk::sim {

void Attenuator::write(const std::uint8_t* data, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        std::uint8_t b = data[i];
        if (b & 0x80)
            control_ = b;
        else if ((b & 0xC0) == 0x00)
            levels_[0] = b & 0x3F;
        else
            levels_[1] = b & 0x3F;  // 01
    }
}

void Attenuator::read(std::uint8_t* out, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        switch (i % 3) {
        case 0: out[i] = control_; break;
        case 1: out[i] = levels_[0]; break;
        default: out[i] = static_cast<std::uint8_t>(0x40 | levels_[1]); break;
        }
    }
}

namespace {
// Argument bytes that follow each SSD1306 command byte.
std::size_t argumentCount(std::uint8_t c) {
    switch (c) {
    case 0x20:
    case 0x81:
    case 0x8D:
    case 0xA8:
    case 0xD3:
    case 0xD5:
    case 0xD9:
    case 0xDA:
    case 0xDB: return 1;
    case 0x21:
    case 0x22:
    case 0xA3: return 2;
    case 0x29:
    case 0x2A: return 5;
    case 0x26:
    case 0x27: return 6;
    default: return 0;
    }
}

// Steps a two-level address through a window: the inner one to its end, then
// back to its start with the outer one on, both wrapping at their ends.
void stepInWindow(int& inner, int innerStart, int innerEnd, int& outer, int outerStart, int outerEnd) {
    if (inner >= innerEnd) {
        inner = innerStart;
        outer = outer >= outerEnd ? outerStart : outer + 1;
    } else {
        ++inner;
    }
}
}  // namespace

void Display::write(const std::uint8_t* data, std::size_t len) {
    // Control bytes: bit 7 (Co) = one byte follows and then another control
    // byte; bit 6 (D/C#) = data rather than commands.
    std::size_t i = 0;
    while (i < len) {
        std::uint8_t control = data[i++];
        bool isData = control & 0x40;
        if (control & 0x80) {
            if (i < len) isData ? this->data(data[i++]) : command(data[i++]);
            continue;
        }
        for (; i < len; ++i) isData ? this->data(data[i]) : command(data[i]);
    }
}

void Display::read(std::uint8_t* out, std::size_t len) {
    // Status byte: bit 6 set while the display is off.
    for (std::size_t i = 0; i < len; ++i) out[i] = on_ ? 0x00 : 0x40;
}

void Display::command(std::uint8_t b) {
    cmd_.push_back(b);
    if (cmd_.size() < 1 + argumentCount(cmd_[0])) return;
    std::uint8_t c = cmd_[0];
    if (c == 0x20) {
        mode_ = cmd_[1] & 3;
        if (mode_ == 3) mode_ = 2;  // invalid; the controller keeps page mode
    } else if (c == 0x21) {
        colStart_ = cmd_[1] & 0x7F;
        colEnd_ = cmd_[2] & 0x7F;
        col_ = colStart_;
    } else if (c == 0x22) {
        pageStart_ = cmd_[1] & 7;
        pageEnd_ = cmd_[2] & 7;
        page_ = pageStart_;
    } else if (c >= 0xB0 && c <= 0xB7) {
        if (mode_ == 2) page_ = c & 7;
    } else if (c <= 0x0F) {
        pageModeCol_ = (pageModeCol_ & 0x70) | c;
        if (mode_ == 2) col_ = pageModeCol_;
    } else if (c >= 0x10 && c <= 0x1F) {
        pageModeCol_ = (pageModeCol_ & 0x0F) | ((c & 0x07) << 4);
        if (mode_ == 2) col_ = pageModeCol_;
    } else if (c == 0xAE || c == 0xAF) {
        on_ = c == 0xAF;
    } else if (c == 0xA0 || c == 0xA1) {
        remap_ = c == 0xA1;
    } else if (c == 0xC0 || c == 0xC8) {
        comFlip_ = c == 0xC8;
    }
    cmd_.clear();
}

void Display::data(std::uint8_t b) {
    ram_[page_][col_] = b;
    switch (mode_) {
    case 0:  // horizontal: along the window's columns, then the next page
        stepInWindow(col_, colStart_, colEnd_, page_, pageStart_, pageEnd_);
        break;
    case 1:  // vertical: down the window's pages, then the next column
        stepInWindow(page_, pageStart_, pageEnd_, col_, colStart_, colEnd_);
        break;
    default:  // page: along the page, wrapping to its start column
        col_ = col_ >= 127 ? pageModeCol_ : col_ + 1;
        break;
    }
}

bool Display::pixel(int x, int y) const {
    if (x < 0 || x >= kWidth || y < 0 || y >= kHeight) return false;
    int column = remap_ ? kWidth - 1 - x : x;
    int row = comFlip_ ? kHeight - 1 - y : y;
    return (ram_[row / 8][column] >> (row % 8)) & 1;
}

std::string Display::pbm() const {
    std::ostringstream s;
    s << "P1\n# vesk_sim display, " << (on_ ? "on" : "off") << "\n" << kWidth << " " << kHeight << "\n";
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) s << (pixel(x, y) ? '1' : '0');
        s << "\n";
    }
    return s.str();
}

Memory::Memory(const std::vector<std::uint8_t>& init) {
    for (std::size_t i = 0; i < init.size() && i < mem_.size(); ++i) mem_[i] = init[i];
}

void Memory::write(const std::uint8_t* data, std::size_t len) {
    if (len == 0) return;
    ptr_ = data[0];
    for (std::size_t i = 1; i < len; ++i) mem_[ptr_++] = data[i];
}

void Memory::read(std::uint8_t* out, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) out[i] = mem_[ptr_++];
}

std::unique_ptr<I2cDevice> makeDevice(const I2cDeviceConfig& cfg) {
    switch (cfg.kind) {
    case I2cKind::Attenuator: return std::make_unique<Attenuator>(cfg.levels);
    case I2cKind::Display: return std::make_unique<Display>();
    default: return std::make_unique<Memory>(cfg.data);
    }
}

}  // namespace vesk::sim
