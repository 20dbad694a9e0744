#pragma once

#include "core/Uuid.h"

#include <string>

namespace tallowin {

// A one-off notice for the user. Every message gets a fresh identity, so two notices with the
// same text are still two notices and both are shown.
struct AlertMessage {
    Uuid id { Uuid::random() };
    std::string text;

    explicit AlertMessage(std::string messageText)
        : text(std::move(messageText))
    { }

    friend bool operator==(const AlertMessage&, const AlertMessage&) = default;
};

}
