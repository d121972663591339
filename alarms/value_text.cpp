#include "alarms/value_text.h"

#include <boost/lexical_cast.hpp>
#include <cstdio>
#include <sstream>

std::string NineDigits(float v) {
    return boost::lexical_cast<std::string>(v);
}

std::string SixDigits(float v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

std::string Padded3(unsigned n) {
    // Integer conversions do not depend on the locale; a stream would cost
    // its construction for three digits.
    char buf[16];
    const int len = std::snprintf(buf, sizeof buf, "%03u", n);
    return std::string(buf, static_cast<size_t>(len));
}
