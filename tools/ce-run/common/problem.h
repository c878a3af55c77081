// Why a reader cannot take its input: the input is malformed (a device
// could not take it either), or it holds what ce-run does not model or
// goes past ce-run's own limits (a device might take it).

#ifndef CE_RUN_PROBLEM_H
#define CE_RUN_PROBLEM_H

#include <string>

struct Problem {
    bool not_modelled = false;
    std::string why;
};

#endif
