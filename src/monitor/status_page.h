// The status page's three files, built into the binary so the page needs nothing but the miner:
// no file on disk, no outside asset. Their sources are src/monitor/page/.
#pragma once

#include <string_view>

namespace orvo::qel {

std::string_view status_page_html();
std::string_view status_page_script();
std::string_view status_page_style();

}  // namespace orvo::qel
