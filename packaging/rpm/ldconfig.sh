# SPDX-License-Identifier: Apache-2.0
# %post and %postun of the package that installs libTmHost.so.1: the dynamic
# linker's cache learns of the library, or forgets it.
/sbin/ldconfig
