// Names the rows of a parameterized table by their `name` member.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct RowName {
    template <class Row> std::string operator()(const ::testing::TestParamInfo<Row> &row) const {
        return row.param.name;
    }
};
