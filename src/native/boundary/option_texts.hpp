// The errors of the account options, written once for both layers: the
// journal formats them here, and pelmora.options formats the same texts,
// which the journal module exports as OPTION_TEXTS. Fields in braces, as
// Python's str.format reads them: {name} the option, {value} the repr of
// what was given, {type} the name of its type, {bits} an integer's length.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

namespace pelmora::py {

// Annual rates above this (10,000 % a year) are refused: no deposit or loan
// has paid it, and a few days of it take the equity past the finite range.
inline constexpr double kMaxRate = 100.0;

struct OptionText {
  const char* key;
  const char* text;
};

inline constexpr OptionText kOptionTexts[] = {
    {"number", "{name} must be a number, got {type}"},
    {"number_or_none", "{name} must be a number or None, got {type}"},
    {"integer", "{name} must be an integer, got {type}"},
    {"float_range", "{name} must be a number a float can hold, got an integer of {bits} bits"},
    {"capital",
     "capital must be a finite number above 0 (the account's value in currency) or None, got "
     "{value}"},
    {"lot_size", "lot_size must be a finite number of shares above 0, got {value}"},
    {"fraction", "{name} must be at least 0 and below 1, got {value}"},
    {"min_fee", "min_fee must be a finite amount of currency, 0 or more, got {value}"},
    {"positive", "{name} must be a finite number above 0, got {value}"},
    {"cash_rate",
     "{name} must be a finite annual rate above -1 and at most 100 (10,000 % a year), got "
     "{value}"},
    {"rate", "{name} must be a finite annual rate from 0 to 100 (10,000 % a year), got {value}"},
    {"max_participation",
     "max_participation must be a fraction of the day's volume above 0 and at most 1, or None, "
     "got {value}"},
    {"impact", "impact must be a finite coefficient, 0 or more, got {value}"},
    {"impact_window", "impact_window must be 2 or more (days of returns), got {value}"},
    {"impact_window_bits", "impact_window must be below 2**31, got an integer of {bits} bits"},
    {"lot_size_capital",
     "lot_size needs capital: lots are whole numbers of shares, and shares need the account's "
     "value in currency (give capital=...)"},
    {"min_fee_capital",
     "min_fee needs capital: it is an amount of currency per fill (give capital=...)"},
    {"volume_capital",
     "{name} needs capital: it compares the shares of a fill with the day's volume, and shares "
     "need the account's value in currency (give capital=...)"},
};

// `text` with each "{field}" replaced by its value (a field not given stays
// as it is).
std::string format_text(const char* text,
                        std::initializer_list<std::pair<const char*, std::string>> fields);
// The text of `key` with its fields filled in.
std::string option_text(const char* key,
                        std::initializer_list<std::pair<const char*, std::string>> fields);

}  // namespace pelmora::py
