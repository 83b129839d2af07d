// Prints the 001 and 245 $a of every record of a file, however damaged,
// and what the reader repaired.   damaged_titles FILE
#include <quillet/view.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  quillet::Reader reader(argv[1]);  // throws std::system_error if it cannot open
  quillet::RecordView rec;
  while (reader.next(rec)) {
    const quillet::FieldView* title = rec.field("245");
    std::cout << rec.controlNumber() << '\t' << (title ? title->subfield('a') : "") << '\n';
    for (const quillet::Problem& p : rec.problems())
      std::cerr << "byte " << p.offset << ": " << p.describe() << '\n';
  }
}
