#pragma once

#include <cstdint>
#include <filesystem>

namespace tarnwick {

// $HOME when set and not empty, else the user's password-database entry.
std::filesystem::path homeDirectory();

std::uint32_t effectiveUserID();

// Whether no user but this one may act as a member of the group: none is listed as a member,
// and no other user has it as primary group. False when the user database cannot be read.
bool groupHoldsOnlyUser(std::uint32_t group, std::uint32_t user);

}  // namespace tarnwick
