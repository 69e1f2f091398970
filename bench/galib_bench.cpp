// The same problem written with GAlib, timed per generation beside Allelix.
