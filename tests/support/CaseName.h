#pragma once

#include <gtest/gtest.h>

#include <string>

// Names the instances of a table test after the `name` member of each case.
struct CaseName
{
    template<typename Case>
    std::string operator()(const testing::TestParamInfo<Case> &param) const
    {
        return param.param.name;
    }
};
