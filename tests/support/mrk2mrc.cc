// mrk2mrc IN.mrk OUT.mrc: builds the binary records of a mnemonic text file.
// Used to make examples/sample.mrc from examples/sample.mrk.
#include <fstream>
#include <iostream>

#include "mrk_reader.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: mrk2mrc IN.mrk OUT.mrc\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "mrk2mrc: cannot open " << argv[1] << '\n';
    return 2;
  }
  try {
    std::ofstream out(argv[2], std::ios::binary);
    for (const std::string& record : quillet_test::CompileMrk(in)) out << record;
    if (!out) throw std::runtime_error(std::string("cannot write ") + argv[2]);
  } catch (const std::exception& e) {
    std::cerr << "mrk2mrc: " << argv[1] << ": " << e.what() << '\n';
    return 1;
  }
  return 0;
}
