const neverRead = 1;
notDefinedAnywhere();
startsEarly();
window.early = definedLater;
function startsEarly() { return definedLater; }
