// The pages of the shipped libraries, in the order their tabs are added.
#include "connections/connections_page.h"
#include "host/page.h"
#include "services/services_page.h"

std::vector<std::unique_ptr<Page>> CreateAddedPages() {
  std::vector<std::unique_ptr<Page>> pages;
  pages.push_back(std::make_unique<ServicesPage>());
  pages.push_back(std::make_unique<ConnectionsPage>());
  return pages;
}
