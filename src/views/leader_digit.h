#ifndef QUILLET_VIEWS_LEADER_DIGIT_H_
#define QUILLET_VIEWS_LEADER_DIGIT_H_

namespace quillet {

// Leader/10 (least 0) and leader/11 (least 1) when they are digits of at
// least `least` (a subfield identifier holds at least its delimiter, so a
// code length of 0 is not taken); 2, as in MARC 21, otherwise.
inline unsigned LeaderDigit(char c, unsigned least) {
  return c >= '0' + static_cast<int>(least) && c <= '9' ? static_cast<unsigned>(c - '0') : 2;
}

}  // namespace quillet

#endif  // QUILLET_VIEWS_LEADER_DIGIT_H_
