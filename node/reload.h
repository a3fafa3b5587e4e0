#pragma once

class Body;
class ParamStore;

// Reads the command line and the configuration file it names into params.
void readConfiguration(ParamStore &params, int argc, char **argv);

// SIGHUP: reads the configuration again, as the command line names it, for the body to apply.
void reloadConfiguration(Body &body, int argc, char **argv);
