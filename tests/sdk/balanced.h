// A fixture whose tests end with as many SDK objects of the named classes alive as they started with.
#pragma once

#include "TqLiveObjects.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

class Balanced : public ::testing::Test {
protected:
    explicit Balanced(std::initializer_list<const char*> aClasses) : mClasses(aClasses) {}
    void SetUp() override {
        for (const char* name : mClasses) mBefore[name] = TqLiveObjects::Count(name);
    }
    void TearDown() override {
        for (const char* name : mClasses) EXPECT_EQ(TqLiveObjects::Count(name), mBefore[name]) << name << " leaked";
    }

private:
    std::vector<const char*> mClasses;
    std::map<std::string, long> mBefore;
};
