"""Word tokenizing for Russian and English text, built on the chopwiseCXX module."""
