// The texts of the about box: the program's title from its file name and
// the version line from its product version. The version is set once in the
// build (four numbers, "2.0.0.19") and compiled into the program.
#pragma once

#include <string>

namespace vellum::shell {

// The application title: the program file's name without its folder and
// without everything from its first "." on, its first letter in upper case
// and the rest in lower case ("TOOL.EXE" and "vellum" give "Tool" and
// "Vellum").
std::string ApplicationTitle(const std::string& program_path);

// The version line for the product version `version` ("A.B.C.D", each part a
// number from 0 to 65535): " Versione A.B.D" -- the third part does not
// appear. An empty version gives empty text. A version of another form
// raises vellum::Error.
std::string VersionText(const std::string& version);

// What the about box shows as the version: VersionText, or "(No version
// info)" when it fails.
std::string VersionLine(const std::string& version);

}  // namespace vellum::shell
