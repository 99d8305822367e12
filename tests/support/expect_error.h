// One expectation for a library call's result and the error it recorded:
// the last error, or the given handle's. The error is cleared first, so the
// expectation holds only for an error the call itself recorded.
#pragma once

#include <gtest/gtest.h>

#include "reader/frame.h"
#include "reader/handle.h"
#include "reader/rdr.h"

#define EXPECT_FAILS_WITH(call, result, number)               \
  do {                                                        \
    SetErrorCode(nullptr, 0);                                 \
    const auto call_result = (call);                          \
    EXPECT_EQ(call_result, result) << #call;                  \
    EXPECT_EQ(GetErrorCode(), LibraryError(number)) << #call; \
  } while (0)

#define EXPECT_FAILS_ON(handle, call, result, number)               \
  do {                                                              \
    (handle)->last_error = 0;                                       \
    const auto call_result = (call);                                \
    EXPECT_EQ(call_result, result) << #call;                        \
    EXPECT_EQ((handle)->last_error, LibraryError(number)) << #call; \
  } while (0)
