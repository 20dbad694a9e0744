#include "app/windows/WindowsConfiguration.h"

#include "app/windows/BuildConfiguration.h"

namespace tallowin {

WindowsConfiguration WindowsConfiguration::buildTime()
{
    // Built in place: assigning the literals to default-constructed strings trips a false
    // -Wrestrict in GCC 12 at -O3.
    return WindowsConfiguration {
        .serviceBaseUrl = TALLOWIN_SERVICE_BASE_URL,
        .productIdentifier = TALLOWIN_PRODUCT_ID,
        .contactLink = TALLOWIN_CONTACT_LINK,
        .descriptiveParagraph = TALLOWIN_ABOUT_PARAGRAPH,
        .creditLine = TALLOWIN_CREDIT_LINE,
        .shortVersion = TALLOWIN_VERSION,
        .buildNumber = TALLOWIN_BUILD_NUMBER,
    };
}

}
