// titles FILE: prints the title proper (245 $a) of each record of FILE.
#include <quillet/quillet.h>

#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: titles FILE\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "titles: cannot open " << argv[1] << '\n';
    return 2;
  }
  quillet::Record rec;
  try {
    while (in >> rec) {
      std::string title = "-";
      const auto field = rec.getFirstField("245");
      if (field != rec.getFMapEnd() && !field->second->isControl()) {
        auto* df = static_cast<quillet::DataField*>(field->second);
        const auto a = df->getSubfield('a', df->getSFListBegin());
        if (a != df->getSFListEnd()) title.assign((*a)->getData(), (*a)->getDatalen());
      }
      std::cout << title << '\n';
    }
  } catch (const quillet::MrcException& e) {
    std::cerr << "titles: " << argv[1] << ": " << e.what() << '\n';
    return 1;
  }
  return 0;
}
