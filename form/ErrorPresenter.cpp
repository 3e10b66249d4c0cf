#include "form/ErrorPresenter.h"

#include <iostream>

namespace quillon::ui {

void StandardErrorPresenter::ShowError(const std::string& text) {
  std::cerr << "Error: " << text << '\n' << std::flush;
}

}  // namespace quillon::ui
