#include "main/service.hpp"

int main() { return main_service::run_helper(platform::system_platform()); }
