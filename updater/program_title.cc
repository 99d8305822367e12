#include "updater/program_title.h"

#include <utility>

namespace {

std::string& Title() {
  static std::string title;
  return title;
}

}  // namespace

const std::string& ProgramTitle() { return Title(); }

void SetProgramTitle(std::string title) { Title() = std::move(title); }
