#include "quillmere/teams_notifier.h"

namespace quillmere {
nlohmann::ordered_json build_teams_card(const nlohmann::json&, const std::string&, const std::string&,
                                        const std::string&, const std::string&, const std::string&) {
  return {};
}
void send_mr_notification_to_teams(HttpClient&, const nlohmann::json&, const std::string&,
                                   const std::string&, const std::string&, const std::string&,
                                   const std::string&) {}
}  // namespace quillmere
