#pragma once

#include <optional>
#include <string>

#include "web/data.h"
#include "web/form.h"

namespace mq::web {

// The HTML of every page. Nothing here trusts the text it is given: all of
// it goes through html() or url_component().
namespace pages {

// The style sheet, served as /static/style.css.
extern const char* const style_sheet;

// Who is looking, for the frame of every page.
struct viewer_t {
  std::string user;
  std::string csrf;
};

// A whole page: the frame around `body`; `refresh` (seconds) reloads it.
std::string frame(const std::string& title, const viewer_t* viewer, const std::string& body,
                  std::optional<int> refresh = std::nullopt);

// The login form, with the token of the browser's pre-login cookie.
std::string login(const std::string& message, const std::string& token);
std::string message(const std::string& text);

std::string overview(const std::array<data_t::status_figures_t, 4>& figures, const data_t::shape_t* shape,
                     const std::string& shape_note);

// The list of `page` for the selection in `query` (its fields as given).
std::string list(const form_t& query, const data_t::page_t& page, std::size_t page_size);
std::string list_error(const form_t& query, const std::string& error);

std::string entry(const data_t::entry_t& d, std::uint64_t now);

// The question before an action: what, on how many entries, and the
// button that does it (POST with the token).
std::string confirm(const form_t& query, const std::string& what, std::uint64_t count, const viewer_t& viewer);

// The fields of the list's filter form, in order, as in the query.
const std::vector<std::string>& selection_fields();

}  // namespace pages

}  // namespace mq::web
