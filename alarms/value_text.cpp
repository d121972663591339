#include "alarms/value_text.h"

#include <boost/lexical_cast.hpp>
#include <iomanip>
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
    std::ostringstream os;
    os << std::setw(3) << std::setfill('0') << n;
    return os.str();
}
