#include "device/text_conversion.h"

#include <iconv.h>

#include <cerrno>

namespace {

class Converter {
public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return handle_; }

private:
    iconv_t handle_;
};

constexpr size_t kOutputStep = 64 * 1024;

}  // namespace

std::string UTF8ToGBK(const char* text, unsigned long length) {
    std::string out;
    if (text == nullptr || length == 0) return out;
    Converter converter("GB18030", "UTF-8");
    if (!converter.valid()) return out;

    out.reserve(length);
    char* in = const_cast<char*>(text);
    size_t inLeft = length;
    char step[kOutputStep];
    // Converted in steps; a problem in the input ends the conversion, and
    // what came before it is kept.
    for (;;) {
        char* outPtr = step;
        size_t outLeft = sizeof step;
        const size_t rc = iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
        out.append(step, sizeof step - outLeft);
        if (rc != static_cast<size_t>(-1) || errno != E2BIG) break;
    }
    return out;
}
