// The pages of the shipped libraries, in the order their tabs are added.
#include "host/page.h"

#include "connections/connections_page.h"

std::vector<std::unique_ptr<Page>> CreateAddedPages() {
  std::vector<std::unique_ptr<Page>> pages;
  pages.push_back(std::make_unique<ConnectionsPage>());
  return pages;
}
