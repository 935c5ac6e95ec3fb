// Catalogue sets 81 (integration options and the backup profile) and 84 (the
// restore profile). Every text of the two sets has its one name here; the
// texts themselves are in the "C" catalogue source.
#pragma once

inline constexpr int kBarOptMsgSet = 81;
// An option that needs a host and a port got fewer words (the option word).
inline constexpr int kBarOptMsgNeedsHostPort = 1;
// Backup profile: hours, minutes, seconds, MB per second.
inline constexpr int kBarOptMsgBackupProfile = 104;

inline constexpr int kBarRestoreMsgSet = 84;
// Restore profile: hours, minutes, seconds, MB per second.
inline constexpr int kBarRestoreMsgProfile = 137;
