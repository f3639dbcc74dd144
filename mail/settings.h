// The per-user store of the mail component's connection settings.
//
// The store is an INI file written through QSettings (IniFormat, UserScope,
// organisation and application "Marrowpost"), section [Settings]:
//
//     $XDG_CONFIG_HOME/Marrowpost/Marrowpost.ini   (~/.config/... when unset)
//
// QSettings resolves that folder the first time a user-scope store is opened
// in a process and keeps it for the life of the process, so a program (or a
// test) that wants another folder sets XDG_CONFIG_HOME before its first
// settings access. Every process of the user shares the file; each write is
// flushed before WriteSetting returns, and each read opens the file afresh,
// so the last write of a key wins and a later read in any process sees it.
//
// Every value is text and is stored as exactly that text: a leading or
// trailing blank (" 25"), a sign ("-1"), a comma or a leading "@" survive the
// round trip, because QSettings quotes or escapes such values in the file.
// Every failure of the store is swallowed: a read that fails yields the
// caller's default, a write that fails leaves the store as it was.
#pragma once

#include <QString>

#include <cstdint>

namespace sendmail {

// Where the store lives for this process.
QString SettingsFileName();

// The stored text of `key`, or `defaultValue` when the key is absent or the
// store cannot be read.
QString ReadSetting(const QString &key, const QString &defaultValue);

// Stores `value` under `key` when `persistent` is true; does nothing
// otherwise. The caller passes its current persistence switch; the switch's
// own key is always written, so that call passes true.
void WriteSetting(bool persistent, const QString &key, const QString &value);

// A number as the store holds it: one blank before a number that is not
// negative (" 25", " 0"), the minus sign before a negative one ("-90").
QString SettingNumberText(int32_t n);

// A switch as the store holds it: "-1" for on, "0" for off.
QString SettingBoolText(bool b);

// Reads a stored number. Blanks before and after the number are ignored and
// a leading "+" or "-" is allowed. Text that is not such a whole number, or
// whose value does not fit in 32 bits, reads as 0: the component itself only
// ever writes decimal text, so anything else was edited by hand and does not
// deserve a guess.
int32_t SettingToInt(const QString &text);

// Reads a stored switch: "true" (any letter case) or a non-zero number as
// SettingToInt reads it is on; "false", "0", "" and any other text are off.
bool SettingToBool(const QString &text);

} // namespace sendmail
