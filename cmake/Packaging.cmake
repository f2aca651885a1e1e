# Installation layout and the .deb package.
