// Writes tables shaped like those the original engine leaves into a
// directory, one per rule they exercise, for a look with vellum-cli:
//
//   vellum-original-shapes DIR
//
// Each table's files go into DIR (created when missing); a line per table
// says what it shows and which of its index files are out of date.
#include <filesystem>
#include <iostream>

#include "engine/errors.h"
#include "tests/support/original_shapes.h"

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    std::cerr << "Usage: vellum-original-shapes DIR\n";
    return argc == 2 ? 0 : 2;
  }
  const std::string dir = argv[1];
  try {
    std::filesystem::create_directories(dir);
    for (const auto& shape : vellum::test::OriginalShapes()) {
      shape.make(dir);
      std::cout << shape.table << ": " << shape.what;
      for (const auto& file : shape.out_of_date) std::cout << " [" << file << " out of date]";
      std::cout << "\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "vellum-original-shapes: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
