#include "host/log_format.h"

namespace hostfmt {

std::size_t copy_to_placeholder(std::ostringstream& os, const std::string& fmt, std::size_t from) {
    for (std::size_t i = from; i < fmt.size(); ++i) {
        const char c = fmt[i];
        if (c == '{' && i + 1 < fmt.size() && fmt[i + 1] == '}') {
            os.write(fmt.data() + from, static_cast<std::streamsize>(i - from));
            return i + 2;
        }
        if (c == '%' && i + 1 < fmt.size() &&
            (fmt[i + 1] == 'u' || fmt[i + 1] == 'd' || fmt[i + 1] == 's')) {
            os.write(fmt.data() + from, static_cast<std::streamsize>(i - from));
            return i + 2;
        }
    }
    os.write(fmt.data() + from, static_cast<std::streamsize>(fmt.size() - from));
    return std::string::npos;
}

}  // namespace hostfmt
