# Labels and time limits of every test, in one place.
#
#   quick    the set to run while working (`make quick`, `ctest -L quick`): under two minutes on
#            two cores, and still every parser on fixtures and small generated media
#   slow     everything else: large media (gigabyte files), whole-medium scans, many mkfs runs
#   root     needs root (loop devices, mounts, FUSE); skips with a message without it
#   tools    makes or checks media with an outside program (mkfs.*, mtools, ntfs-3g, sfdisk,
#            ddrescue, ImageMagick, ffmpeg, zip...); skips with a message without it
#   desktop  the desktop application's tests (run without a display); not called "ui", since
#            `ctest -L` takes a regular expression and "ui" would match "quick" too
#
# Every test is either quick or slow; root, tools and desktop come on top. The patterns below are
# regular expressions matched at the start of the names CTest shows, less the instantiation
# prefix of parameterised tests ("Suite.Test", "Suite.Test/Param" of "Prefix/Suite.Test/Param");
# a pattern naming a suite ("Suite\\.") covers each of its tests. A test belongs in the slow list
# when it takes more than about half a second here (see Testing/Temporary/CTestCostData.txt of a
# full run). This file is read when the build is configured and again by CTest, which labels the
# tests gtest_discover_tests found.

set(NORVALE_QUICK_TIMEOUT 60)
set(NORVALE_SLOW_TIMEOUT 900)

set(NORVALE_SLOW_TESTS
    "PassThreads\\."
    "SectorPass\\.ProgressMovesWhileAWorker"
    # device
    "DiskImager\\.PartitionCopyStartsAtThePartitionsBootSector"
    "ImagerOnLoopDevice\\."
    "LoopDeviceTest\\."
    "PartitionTableTest\\.GptHeaderDamageIsReportedAndTheSoundHeaderRead"
    # engine
    "DetectFileSystem\\."
    "DetectOnRealVolumes\\.ClassifiesWhatTheToolMade/fat32_4k"
    "FactoryTest\\.PartitionIsProbedAtItsStartInTheDisksSectorSize"
    "StoreReopen\\.TenThousandRecordsAnswerEveryQueryTheSameFromTheFiles"
    # fat
    "FastFatCorpus\\.DeletedFolderIsFoundWithItsFiles"
    "FastFatMedia\\.UnreadableDirectorySectorKeepsWhatCouldBeRead"
    "FastFatRecovery\\.CopyCutShortByTheVolumeIsAFailure"
    "FatBootSector\\.ClassifiesThePublicCorpus"
    "FatFreeSpaceOf\\."
    "FormattedFat32Card\\."
    "HandMadeFat\\.Fat32IgnoresTheReservedTopBits"
    "ProfessionalFatMedia\\."
    # exfat: cards made through the FUSE driver
    "DamagedExfatCard\\."
    "DeletedExfatCard\\."
    "DeletedExfatCardFreeSpace\\."
    # ntfs
    "FastNtfsCard\\.HostileParentsAndNamesEndAndStayInside"
    "FastNtfsCorpus\\."
    "FormattedCard\\."
    "FormattedVolumeContent\\."
    "FourKiBRecords\\."
    "MovedVolume\\."
    "Ntfs3Volume\\."
    "NtfsCorpus\\.Ntfs3VolumeListsItsTestFolder"
    "NtfsFreeSpace\\."
    # exfat
    "ExfatBootRegion\\.CardsGiveTheirGeometryAndPassTheProbe"
    "ExfatDirectorySector\\.MediaDataNeverPasses"
    "ExfatFixtureCard\\.LiveAndDeletedFilesReadBackByteExact"
    "ExfatOnFuse\\."
    "ExfatOnLoopDevice\\."
    # carving: the 4 GiB file and the passes over a whole mixed image
    "CarvingEngine\\."
    "CatalogueLookup\\.SectorsOfRealFiles"
    "MixedImage\\."
    "SplitPicture\\."
    # exfat_full: cards made through FUSE, each scanned whole
    "DamagedExfatCard\\."
    # professional: whole-medium scans, the absurd boot sectors' ones over large media
    "AbsurdBootSector\\."
    "FullScan\\."
    "ResumedScan\\."
    # cli
    "CliExfat\\."
    "CliImage\\.CopiesOnePartitionOfADiskImage"
    "CliPartitioned\\."
    "CliRecovery\\."
    "CliRecoveryFaults\\."
    "CliRecoveryNtfs\\."
    "CliSources\\."
    "HostileNames\\."
    # ui
    "DeviceMonitorTest\\.BurstOfArrivalsRefreshesOnceAfterTheEventsWentQuiet"
    "FirstRunTest\\."
    "RecoveryFlowTest\\."
    "SearchProcessWndTest\\.TimeLeftIsToldOnceKnown"
    "DiskListTest\\.(ImageMovedAfterItWasListedIsReadWhereItIsNow|PartitionedImageListsItsPartitionsAsACardDoes)"
    "MainFlowTest\\."
    "PartitionedImageFlowTest\\."
    "PreviewConvertTest\\.ListingStopsAtTheEntryLimitAndAtDamage"
    "PreviewWindowTest\\.(PlayableVideoPlaysAndOneThatNeverStartsGivesUp|UnplayableMediaShowsTheMessageWithoutReachingThePlayer)"
    "ResultsPreviewTest\\."
    "ScanProcessWndTest\\.(AnsweringNoToTheStopQuestionLetsTheScanFinish|ProgressLinesFollowTheReports|StopQuestionHoldsTheScanAndOkEndsThePassWithTwo)"
    "ui_without_sound"
    # installation: an installed tree, and Debian packages built, installed and purged
    "install_"
    "packages_")

set(NORVALE_ROOT_TESTS
    "PassThreads\\.DirectReads"
    "DestinationCheckOnFuse\\."
    "DestinationCheckOnLoopDevices\\."
    "ImageDiskTest\\.DiskWithoutPartitionDevicesIsListedFromItsTable"
    "ImagerOnFailingDevice\\."
    "ImagerOnLoopDevice\\."
    "LoopDeviceTest\\."
    "RecoveredFileWriter\\.FullDestinationLeavesNoBrokenFileAndLaterRunUsesTheRealName"
    "DamagedExfatCard\\."
    "DeletedExfatCard\\."
    "DeletedExfatCardFreeSpace\\."
    "DeletedNtfsFiles\\."
    "ExfatOnFuse\\."
    "ExfatOnLoopDevice\\."
    "FastNtfsRecovery\\."
    "FormattedCard\\."
    "FormattedVolume\\."
    "FormattedVolumeContent\\."
    "FourKiBRecords\\."
    "LoopedFolders\\."
    "MountedNtfs\\."
    "MovedVolume\\."
    "NtfsFreeSpace\\.MatchesTheMountedVolumeBeforeAndAfterAWrite"
    "DestinationOnSources\\.AnotherPartitionOfTheSourceDiskIsOnTheSource"
    "CliDestinationInsideSource\\."
    "CliPartitioned\\.ImageOfAPartitionedLoopDeviceRecoversAsItsPartitionDoes"
    "CliRecoveryFaults\\.FullDestinationIsRefusedOrLeavesNothingBrokenAndALaterRunIsClean"
    "MainFlowTest\\.ADestinationWithoutRoomAsksBeforeTheRecovery"
    "RecoveryFlowTest\\.(AFullDestination|SaveRecoveryPictures)"
    "DamagedExfatCard\\."
    "packages_")

set(NORVALE_TOOLS_TESTS
    # installation: cmake --install, dpkg-buildpackage, man, bash and zsh
    "install_"
    "packages_"
    "manual_"
    "completion_"
    # desktop: the demo card and partitioned images are made with mkfs and mtools
    "FirstRunTest\\."
    "RecoveryFlowTest\\."
    "SourceListTest\\.(LoadedImage|RemovedImage|SaveSourcePictures)"
    # device
    "DestinationCheckOnFuse\\."
    "DestinationCheckOnLoopDevices\\."
    "DiskImager\\.PartitionCopyStartsAtThePartitionsBootSector"
    "FakeSystemTest\\."
    "ImageDestinationFacts\\.FatVolumesAreNamedByTheirWidth"
    "ImageDiskTest\\."
    "ImagerOnFailingDevice\\."
    "ImagerOnLoopDevice\\."
    "LoopDeviceTest\\."
    "PartitionTableTest\\."
    "RescueMapText\\.(ReadsTheMapOfARealDdrescueRun|WrittenMapReadsBackAndDdrescuelogAgrees)"
    # engine
    "DetectFileSystem\\."
    "DetectOnRealVolumes\\."
    "FactoryTest\\."
    "ScanDriverTest\\."
    # fat
    "DeletedFiles\\."
    "DeletedPhotos\\."
    "FastFatMedia\\."
    "FastFatRecovery\\."
    "FatBootSector\\."
    "FatFreeSpace\\."
    "FatFreeSpaceOf\\."
    "FatNamesOnVolume\\."
    "FormattedFat32Card\\."
    "FragmentedFileChain\\."
    # exfat_full
    "DamagedExfatCard\\."
    "GeometryOfFormattedVolume\\."
    "HandMadeFat\\."
    "ProfessionalFatMedia\\."
    # exfat
    "DamagedExfatCard\\."
    "DeletedExfatCard\\."
    "DeletedExfatCardFreeSpace\\."
    "ExfatCorpus\\.WindowsCardListsWhatTskListsDeleted"
    # ntfs
    "DeletedNtfsFiles\\."
    "FastNtfsRecovery\\."
    "FixtureCard\\.ClusterBitmapMarksLiveFilesAndMatchesNtfsBitmap"
    "FormattedCard\\."
    "FormattedVolume\\."
    "FormattedVolumeContent\\."
    "FourKiBRecords\\."
    "LoopedFolders\\."
    "MkntfsVolume\\."
    "MountedNtfs\\."
    "NtfsMetadataBlock\\."
    "MovedVolume\\."
    "NtfsCorpus\\.Ntfs3VolumeListsItsTestFolder"
    "NtfsFreeSpace\\."
    # exfat
    "ExfatDirectorySector\\.MediaDataNeverPasses"
    "ExfatOnFuse\\."
    "ExfatOnLoopDevice\\."
    "ExfatWindowsVolume\\."
    # carving: volumes made by mkfs, and real files made by ImageMagick, ffmpeg, gsf and zip
    "CarveOnlyScan\\."
    "CarvingEngine\\."
    "CatalogueLookup\\.SectorsOfRealFiles"
    "ContainerSizedByItsHeader\\."
    "FindBoundary\\.(StopsAtARealFatDirectorySector|StopsAtARealNtfsFileRecord)"
    "MixedImage\\."
    "RealFileSizing\\."
    "SampleDetection\\.[A-Za-z]+/tool_"
    # professional
    "AbsurdBootSector\\."
    "FullScan\\."
    "ResumedScan\\."
    # app
    "DestinationOnSources\\.AnotherPartitionOfTheSourceDiskIsOnTheSource"
    "SourcePlan(Test)?\\."
    # cli
    "CliBadInput\\.UnreadableSourceTellsHowToGetAccess"
    "CliDestinationInsideSource\\."
    "CliDetect\\."
    "CliImage\\.(CopiesOnePartitionOfADiskImage|RescueKeepsADdrescueMapAndContinuesFromIt)"
    "CliPartitioned\\."
    "CliRecovery\\."
    "CliRecoveryFaults\\."
    "HostileNames\\."
    # ui
    "DiskListTest\\."
    "MainFlowTest\\."
    "PartitionedImageFlowTest\\."
    "PrepareTest\\."
    "PreviewConvertTest\\."
    "PreviewWindowTest\\.(UnplayableMediaShowsTheMessageWithoutReachingThePlayer|PlayableVideoPlaysAndOneThatNeverStartsGivesUp|SoundWithoutASoundDeviceShowsTheMessage)"
    "ResultsPreviewTest\\."
    "desktop_entry_valid")

# One alternation per list, each pattern anchored at the start of the name without its
# instantiation prefix. CMake's regular expressions take at most nine parenthesised groups in
# one expression: keep the lists' patterns within that (a longer list would need two).
foreach(list SLOW ROOT TOOLS)
    list(TRANSFORM NORVALE_${list}_TESTS PREPEND "^" OUTPUT_VARIABLE anchored)
    string(JOIN "|" NORVALE_${list}_REGEX ${anchored})
endforeach()

# Sets LABELS and TIMEOUT of the named tests. `program` is the test program's folder ("ui" for
# the desktop application), or "" for tests added by hand.
function(norvale_label_tests program)
    foreach(test IN LISTS ARGN)
        string(REGEX REPLACE "^[^./]*/" "" name "${test}")  # "Prefix/Suite.Test/Param"
        if(name MATCHES "${NORVALE_SLOW_REGEX}")
            set(labels slow)
            set(timeout ${NORVALE_SLOW_TIMEOUT})
        else()
            set(labels quick)
            set(timeout ${NORVALE_QUICK_TIMEOUT})
        endif()
        if(name MATCHES "${NORVALE_ROOT_REGEX}")
            list(APPEND labels root)
        endif()
        if(name MATCHES "${NORVALE_TOOLS_REGEX}")
            list(APPEND labels tools)
        endif()
        if(program STREQUAL "ui" OR test MATCHES "^ui_")
            list(APPEND labels desktop)
        endif()
        set_tests_properties("${test}" PROPERTIES LABELS "${labels}" TIMEOUT ${timeout})
        # The carving tests share files made once by scripts: one test makes them first.
        if(name MATCHES "^PassThreads\\.")
            set_tests_properties("${test}" PROPERTIES FIXTURES_REQUIRED carving_files)
        endif()
        if(program STREQUAL "carving")
            if(name STREQUAL "Fixtures.RealFilesAreMade")
                set_tests_properties("${test}" PROPERTIES FIXTURES_SETUP carving_files
                                     TIMEOUT ${NORVALE_SLOW_TIMEOUT})
            else()
                set_tests_properties("${test}" PROPERTIES FIXTURES_REQUIRED carving_files)
            endif()
        endif()
    endforeach()
endfunction()
