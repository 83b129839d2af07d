#ifndef QUILLET_TESTS_SUPPORT_EXPECT_MRC_H_
#define QUILLET_TESTS_SUPPORT_EXPECT_MRC_H_

#include <gtest/gtest.h>
#include <quillet/quillet.h>

// Checks that `statement` throws quillet::MrcException with exactly `message`.
#define EXPECT_MRC_THROW(statement, message)                                      \
  do {                                                                            \
    try {                                                                         \
      statement;                                                                  \
      ADD_FAILURE() << "expected MrcException \"" << (message) << "\", got none"; \
    } catch (const quillet::MrcException& e) {                                    \
      EXPECT_STREQ((message), e.what());                                          \
    }                                                                             \
  } while (0)

#endif  // QUILLET_TESTS_SUPPORT_EXPECT_MRC_H_
