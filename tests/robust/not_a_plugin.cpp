// An ordinary program, for the request that names an executable instead of a plug-in.
int main() { return 0; }
