// Names as CE compares them: ASCII letters without regard to case.

#ifndef CE_RUN_ASCII_H
#define CE_RUN_ASCII_H

#include <string>

inline std::string lower_ascii(std::string text)
{
    for (char &c : text)
        c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

#endif
