// The pages of the shipped libraries. Each page gets its tab here once it is
// complete.
#include "host/page.h"
#include "services/services_page.h"

std::vector<std::unique_ptr<Page>> CreateAddedPages() {
  std::vector<std::unique_ptr<Page>> pages;
  pages.push_back(std::make_unique<ServicesPage>());
  return pages;
}
