const definedLater = 2;
