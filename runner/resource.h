// Resource identifiers shared by runner.rc and the code.
#ifndef RUNNER_RESOURCE_H_
#define RUNNER_RESOURCE_H_

// The application icon group, also the window class icon.
#define IDI_APP_ICON 101

#endif  // RUNNER_RESOURCE_H_
