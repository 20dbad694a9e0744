#include "app/windows/WindowsConfiguration.h"

#include "app/windows/BuildConfiguration.h"

namespace tallowin {

WindowsConfiguration WindowsConfiguration::buildTime()
{
    WindowsConfiguration configuration;
    configuration.serviceBaseUrl = TALLOWIN_SERVICE_BASE_URL;
    configuration.productIdentifier = TALLOWIN_PRODUCT_ID;
    configuration.contactLink = TALLOWIN_CONTACT_LINK;
    configuration.descriptiveParagraph = TALLOWIN_ABOUT_PARAGRAPH;
    configuration.creditLine = TALLOWIN_CREDIT_LINE;
    configuration.shortVersion = TALLOWIN_VERSION;
    configuration.buildNumber = TALLOWIN_BUILD_NUMBER;
    return configuration;
}

}
