#include "support/text.hpp"

#include <iconv.h>

namespace qd::test {

std::string convert(const std::string& text, const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return "(iconv cannot convert)";
    std::string in = text;
    std::string out(in.size() * 4 + 4, '\0');
    char* ip = in.data();
    char* op = out.data();
    size_t il = in.size();
    size_t ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    out.resize(out.size() - ol);
    return out;
}

}  // namespace qd::test
