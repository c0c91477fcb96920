// What every HTML page of talmira shares: the head with its style and its
// rule that nothing may be fetched, and the footer.
#pragma once

#include <string>
#include <string_view>

namespace talmira {

/// The page up to the opening of <main>: the title (escaped here), the
/// common style followed by `extraStyle` (CSS of the page's own parts), and a
/// content-security policy that allows nothing from elsewhere but the
/// pictures `imageSources` allows (a CSP source list; data: URIs only by
/// default).
std::string pageStart(const std::string& title, std::string_view extraStyle = {},
                      std::string_view imageSources = "data:");

/// The footer naming what produced the page, the end of <main>, `script`
/// (inline JavaScript, when not empty) and the end of the document.
std::string pageEnd(const std::string& producedBy, std::string_view script = {});

}  // namespace talmira
