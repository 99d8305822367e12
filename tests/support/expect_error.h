// One expectation for a library call's result and the error it recorded:
// the last error, or the given handle's.
#pragma once

#include <gtest/gtest.h>

#include "reader/handle.h"
#include "reader/rdr.h"

#define EXPECT_FAILS_WITH(call, result, number)               \
  do {                                                        \
    const auto call_result = (call);                          \
    EXPECT_EQ(call_result, result) << #call;                  \
    EXPECT_EQ(GetErrorCode(), LibraryError(number)) << #call; \
  } while (0)

#define EXPECT_FAILS_ON(handle, call, result, number)               \
  do {                                                              \
    const auto call_result = (call);                                \
    EXPECT_EQ(call_result, result) << #call;                        \
    EXPECT_EQ((handle)->last_error, LibraryError(number)) << #call; \
  } while (0)
